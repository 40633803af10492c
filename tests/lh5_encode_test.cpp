// The LH5 encoder and block writer: golden streams, the code construction with its length limit,
// and what the driver adds around the encoder (output limit, checksum, key).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "codecs/bit_stream.h"
#include "codecs/codec_state.h"
#include "codecs/codecs.h"
#include "codecs/lh5/lh5_encoder.h"
#include "qobz/compress.h"
#include "qobz/errors.h"

namespace qobz {
namespace {

using Bytes = std::vector<uint8_t>;

struct Packed {
  Bytes data;
  uint32_t checksum = 0;
  int32_t count = 0;
};

Packed Compress(const Bytes& input, int32_t key = 0) {
  TCompress c;
  c.Key = key;
  TMemoryStream src(input);
  TMemoryStream dst;
  Packed out;
  out.count = c.RunCodec(dst, src, static_cast<int32_t>(input.size()), 0, kMethodLh5, out.checksum,
                         /*Expanding=*/false, /*Scrambled=*/false);
  out.data = dst.Data();
  return out;
}

Bytes Repeat(uint8_t b, size_t n) {
  return Bytes(n, b);
}

// Encodes without an output limit, so that inputs whose stream is longer than themselves can be
// checked too.
Bytes EncodeUnlimited(const Bytes& input) {
  TCompress c;
  TMemoryStream src(input);
  TMemoryStream dst;
  uint32_t sum = 0;
  c.EncodeStream(dst, src, static_cast<int32_t>(input.size()), kMethodLh5, sum);
  return dst.Data();
}

TEST(LH5Encode, GoldenStreamsOfShortInputs) {
  struct Case {
    Bytes input;
    Bytes packed;
  } cases[] = {
      {{}, {}},
      {{0x61}, {0x00, 0x01, 0x00, 0x00, 0x06, 0x10, 0x00}},
      {{0x61, 0x61}, {0x00, 0x02, 0x00, 0x00, 0x06, 0x10, 0x00}},
      {{0x61, 0x62}, {0x00, 0x02, 0x20, 0x04, 0x26, 0x31, 0x37, 0x00, 0x40}},
      {{0x61, 0x61, 0x61, 0x61}, {0x00, 0x02, 0x20, 0x04, 0x30, 0x11, 0x36, 0x45, 0x40, 0x10}},
      {{0x61, 0x62, 0x63, 0x61, 0x62, 0x63},
       {0x00, 0x04, 0x28, 0x05, 0x30, 0x11, 0x37, 0x91, 0x10, 0x21, 0xB0}},
      {Repeat(0x78, 1000),
       {0x00, 0x05, 0x28, 0x04, 0x4B, 0xFC, 0x32, 0x6A, 0xBE, 0x02, 0x40, 0x10, 0xC0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "input of " << c.input.size() << " bytes");
    EXPECT_EQ(EncodeUnlimited(c.input), c.packed);
  }
  // Through the driver, where the output limit (the input size) lets it pass.
  const Packed p = Compress(Repeat(0x78, 1000));
  EXPECT_EQ(p.data, cases[6].packed);
  EXPECT_EQ(p.count, 13);
}

// Bits of a stream, most significant first, for checking the block layout field by field.
class BitCursor {
 public:
  explicit BitCursor(const Bytes& d) : d_(d) {}
  uint32_t Take(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos_) {
      const size_t byte = pos_ / 8;
      const int bit = byte < d_.size() ? (d_[byte] >> (7 - pos_ % 8)) & 1 : 0;
      v = (v << 1) | static_cast<uint32_t>(bit);
    }
    return v;
  }

 private:
  const Bytes& d_;
  size_t pos_ = 0;
};

TEST(LH5Encode, BlockLayoutOfARepeatedByte) {
  // 259 equal bytes: a literal, a match of 256 at distance 1 and two literals. Two main symbols
  // (0x41 and 509) with 1-bit codes; a zero run of 65 before 0x41 and of 443 between the two.
  const Bytes packed = EncodeUnlimited(Repeat(0x41, 259));
  BitCursor bits(packed);
  EXPECT_EQ(bits.Take(16), 4u);  // items
  // Length-alphabet table: count 4, lengths 0, 0, 1, the 2-bit run field 0, then 1.
  EXPECT_EQ(bits.Take(5), 4u);
  EXPECT_EQ(bits.Take(3), 0u);
  EXPECT_EQ(bits.Take(3), 0u);
  EXPECT_EQ(bits.Take(3), 1u);
  EXPECT_EQ(bits.Take(2), 0u);
  EXPECT_EQ(bits.Take(3), 1u);
  // Main lengths: count 510; symbol 2 (code 0) with 9 bits 65 - 20; symbol 3 (code 1);
  // symbol 2 with 443 - 20; symbol 3.
  EXPECT_EQ(bits.Take(9), 510u);
  EXPECT_EQ(bits.Take(1), 0u);
  EXPECT_EQ(bits.Take(9), 45u);
  EXPECT_EQ(bits.Take(1), 1u);
  EXPECT_EQ(bits.Take(1), 0u);
  EXPECT_EQ(bits.Take(9), 423u);
  EXPECT_EQ(bits.Take(1), 1u);
  // Position table in the one-symbol form, class 0.
  EXPECT_EQ(bits.Take(4), 0u);
  EXPECT_EQ(bits.Take(4), 0u);
  // Items: 0x41 (0), match 256 (1) with no position bits, 0x41, 0x41; then zero fill.
  EXPECT_EQ(bits.Take(4), 0b0100u);
  const size_t used_bits = 16 + 5 + 9 + 2 + 3 + 9 + 1 + 9 + 1 + 1 + 9 + 1 + 8 + 4;
  EXPECT_EQ(packed.size(), (used_bits + 7) / 8);
}

TEST(LH5Encode, MatchesReachBackWithinTheWindowOnly) {
  // Random bytes, with a 300-byte stretch repeated after a gap: within the window the repeat
  // costs a few bytes, beyond it the full 300. The gap spans the first window slide.
  auto packed_size = [](int distance) {
    uint32_t x = 7;
    Bytes in(static_cast<size_t>(distance) + 300);
    for (auto& b : in) {
      x = x * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(x >> 24);
    }
    std::copy(in.begin(), in.begin() + 300, in.begin() + distance);
    return static_cast<int>(EncodeUnlimited(in).size());
  };
  const int near = packed_size(8000);
  const int far = packed_size(8400);
  // 400 more random bytes, and 300 literals instead of one match.
  EXPECT_GT(far - near, 650);
  EXPECT_LT(far - near, 750);
}

// The start of a de Bruijn sequence of 3-byte strings: no 3 bytes occur twice, so the encoder
// finds no match and sends every byte as a literal.
Bytes WithoutRepeatedTriples(size_t size) {
  Bytes out;
  std::vector<int> w = {-1};  // Lyndon words over 256 symbols of lengths dividing 3, in order
  while (!w.empty() && out.size() < size) {
    ++w.back();
    const size_t m = w.size();
    if (3 % m == 0)
      for (int x : w) out.push_back(static_cast<uint8_t>(x));
    while (w.size() < 3) w.push_back(w[w.size() - m]);
    while (!w.empty() && w.back() == 255) w.pop_back();
  }
  out.resize(size);
  return out;
}

TEST(LH5Encode, AllLiteralBlocksCloseAtTheItemBufferLimit) {
  // 14544 literals fill the item buffer (1818 groups of nine bytes reach offset 16362, past the
  // closing point 16360); the 14545th item starts the second block.
  const Bytes in = WithoutRepeatedTriples(20000);
  std::set<uint32_t> triples;
  for (size_t i = 0; i + 2 < in.size(); ++i)
    triples.insert(static_cast<uint32_t>(in[i] << 16 | in[i + 1] << 8 | in[i + 2]));
  ASSERT_EQ(triples.size(), in.size() - 2);
  const Bytes packed = EncodeUnlimited(in);
  BitCursor bits(packed);
  EXPECT_EQ(bits.Take(16), 14544u);
  // Exactly 14544 literals make one block, written at the end of the input.
  const Bytes packed_short = EncodeUnlimited(WithoutRepeatedTriples(14544));
  BitCursor one_block(packed_short);
  EXPECT_EQ(one_block.Take(16), 14544u);
}

TEST(LH5BlockWriter, FibonacciCountsAreLimitedToSixteenBits) {
  // The plain Huffman tree has the two rarest symbols at depth 18.
  auto t = std::make_unique<TLH5EncoderTables>();
  uint16_t freq[2 * lh5::LengthCodeCount] = {};
  uint16_t a = 1, b = 1;
  for (int i = 0; i < lh5::LengthCodeCount; ++i) {
    freq[i] = a;
    const uint16_t next = static_cast<uint16_t>(a + b);
    a = b;
    b = next;
  }
  ASSERT_EQ(freq[18], 4181);
  uint8_t lengths[lh5::LengthCodeCount];
  uint16_t codes[lh5::LengthCodeCount];
  const int root = BuildCode(*t, lh5::LengthCodeCount, freq, lengths, codes);
  EXPECT_GE(root, lh5::LengthCodeCount);
  const std::vector<int> expected = {16, 16, 16, 16, 15, 15, 13, 12, 11, 10,
                                     9,  8,  7,  6,  5,  4,  3,  2,  1};
  EXPECT_EQ(std::vector<int>(lengths, lengths + lh5::LengthCodeCount), expected);
  const std::vector<uint16_t> top = {0xFFFC, 0xFFFD, 0xFFFE, 0xFFFF, 0xFFF8, 0xFFFA, 0xFFF0};
  EXPECT_EQ(std::vector<uint16_t>(codes, codes + 7), top);
  EXPECT_EQ(codes[18], 0x0000);
  EXPECT_EQ(codes[17], 0x8000);
  EXPECT_EQ(freq[root], 10945);  // the root's count is the total
}

TEST(LH5BlockWriter, OneOrNoUsedSymbolGivesThatSymbolAsRoot) {
  auto t = std::make_unique<TLH5EncoderTables>();
  uint16_t freq[2 * lh5::PositionCodeCount] = {};
  uint8_t lengths[lh5::PositionCodeCount];
  uint16_t codes[lh5::PositionCodeCount];
  EXPECT_EQ(BuildCode(*t, lh5::PositionCodeCount, freq, lengths, codes), 0);
  freq[9] = 7;
  EXPECT_EQ(BuildCode(*t, lh5::PositionCodeCount, freq, lengths, codes), 9);
  EXPECT_EQ(lengths[9], 0);
  EXPECT_EQ(codes[9], 0);
}

TEST(LH5BlockWriter, EqualCountsKeepSymbolOrderAndCodesAreCanonical) {
  auto t = std::make_unique<TLH5EncoderTables>();
  uint16_t freq[2 * lh5::PositionCodeCount] = {};
  uint8_t lengths[lh5::PositionCodeCount];
  uint16_t codes[lh5::PositionCodeCount];
  // Two symbols with one item each: 1-bit codes, the smaller symbol 0.
  freq[11] = 1;
  freq[4] = 1;
  EXPECT_EQ(BuildCode(*t, lh5::PositionCodeCount, freq, lengths, codes), lh5::PositionCodeCount);
  EXPECT_EQ(lengths[4], 1);
  EXPECT_EQ(lengths[11], 1);
  EXPECT_EQ(codes[4], 0x0000);
  EXPECT_EQ(codes[11], 0x8000);
  // Three equal counts: the heap gives up 2, then 7 (the last entry moved to the top stops
  // above its equal child), then 5; the first two to leave get the longer codes. Within a length
  // the codes rise with the symbol.
  std::fill(std::begin(freq), std::end(freq), 0);
  freq[2] = freq[5] = freq[7] = 3;
  BuildCode(*t, lh5::PositionCodeCount, freq, lengths, codes);
  EXPECT_EQ(lengths[2], 2);
  EXPECT_EQ(lengths[5], 1);
  EXPECT_EQ(lengths[7], 2);
  EXPECT_EQ(codes[5], 0x0000);
  EXPECT_EQ(codes[2], 0x8000);
  EXPECT_EQ(codes[7], 0xC000);
}

TEST(LH5Encode, SameInputSameBytesWhateverRanBefore) {
  Bytes text;
  for (int i = 0; i < 30000; ++i)
    text.push_back(static_cast<uint8_t>("the quick brown fox "[i % 20] + (i / 997) % 3));
  TCompress c;
  auto run = [&c](const Bytes& in) {
    TMemoryStream src(in);
    TMemoryStream dst;
    uint32_t sum = 0;
    c.RunCodec(dst, src, static_cast<int32_t>(in.size()), 0, kMethodLh5, sum, false, false);
    return dst.Data();
  };
  const Bytes first = run(text);
  run(Repeat(0, 20000));
  EXPECT_EQ(run(text), first);
  // A run cancelled at its first fetch leaves nothing behind either: the next reads to the end.
  int calls = 0;
  c.OnShowProgress = [&calls](int32_t& percent) {
    if (calls++ == 1) percent = -1;
  };
  run(text);
  c.OnShowProgress = nullptr;
  EXPECT_EQ(run(text), first);
  EXPECT_EQ(Compress(text).data, first);
}

TEST(LH5Encode, OutputLimitIsTheInputSize) {
  // Equal bytes from 4 on pack into 10 bytes: 10 of them fit exactly, 9 do not.
  ASSERT_EQ(EncodeUnlimited(Repeat(0x61, 9)).size(), 10u);
  ASSERT_EQ(EncodeUnlimited(Repeat(0x61, 10)).size(), 10u);
  EXPECT_THROW(Compress(Repeat(0x61, 9)), EUnableToCompress);
  const Packed fits = Compress(Repeat(0x61, 10));
  EXPECT_EQ(fits.data, EncodeUnlimited(Repeat(0x61, 10)));
  EXPECT_EQ(fits.count, 10);
  // Noise grows; the run stops at the first byte past the input size. The stream has seen the
  // two full buffers before it; the partly filled third one is not flushed.
  Bytes noise(20000);
  uint32_t x = 12345;
  for (auto& b : noise) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 23);
  }
  ASSERT_GT(EncodeUnlimited(noise).size(), noise.size());
  TCompress c;
  TMemoryStream src(noise);
  TMemoryStream dst;
  uint32_t sum = 0;
  try {
    c.RunCodec(dst, src, static_cast<int32_t>(noise.size()), 0, kMethodLh5, sum, false, false);
    FAIL() << "noise compressed";
  } catch (const EUnableToCompress& e) {
    EXPECT_STREQ(e.what(), "Could not compress data, will store instead");
  }
  EXPECT_EQ(dst.Data().size(), 16384u);
}

TEST(LH5Encode, ChecksumIsTheSumOfThePlainBytes) {
  Bytes in(70000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>((i * 7) % 251);
  const uint32_t expected = std::accumulate(in.begin(), in.end(), 0u);
  EXPECT_EQ(Compress(in).checksum, expected);
  EXPECT_EQ(Compress(in, 0x12345678).checksum, expected);
  EXPECT_EQ(Compress(Repeat(0x61, 10)).checksum, 10u * 0x61);
}

TEST(LH5Encode, KeyScramblesEveryPackedByteInTurn) {
  const int32_t key = static_cast<int32_t>(0xA1B2C3D4);
  const uint8_t kb[4] = {0xD4, 0xC3, 0xB2, 0xA1};
  const std::string in_text = "abcabcabc, said the cat; abcabcabc, said the dog, and so on and on.";
  for (const Bytes& in : {Repeat(0x78, 1000), Bytes(in_text.begin(), in_text.end())}) {
    const Packed plain = Compress(in);
    const Packed locked = Compress(in, key);
    ASSERT_EQ(plain.data.size(), locked.data.size());
    for (size_t i = 0; i < plain.data.size(); ++i) {
      EXPECT_EQ(locked.data[i], plain.data[i] ^ kb[i % 4]) << "byte " << i;
    }
  }
}

// A source that delivers at most `chunk` bytes per read.
class ShortReads : public TMemoryStream {
 public:
  ShortReads(Bytes data, int32_t chunk) : TMemoryStream(std::move(data)), chunk_(chunk) {}
  int32_t Read(void* buffer, int32_t count) override {
    return TMemoryStream::Read(buffer, std::min(count, chunk_));
  }

 private:
  int32_t chunk_;
};

// A cancelled fetch ends every encoder's input: what it packs is exactly the bytes delivered
// before that fetch, whose sum is the checksum, however short the source's reads are.
TEST(Encoders, StopAtACancelledFetchOnShortReads) {
  Bytes input(40000);
  for (size_t i = 0; i < input.size(); ++i) {
    input[i] = static_cast<uint8_t>("the quick brown fox "[i % 20] + (i / 997) % 3);
  }
  struct Case {
    int32_t chunk;
    int cancel_fetch;  // the n-th fetch (from 1) is cancelled
  };
  const Case cases[] = {{100, 1},  {100, 2},  {100, 40}, {100, 81}, {100, 200},
                        {5000, 2}, {5000, 4}, {8192, 2}, {8192, 3}};
  for (const uint8_t method : {uint8_t{kMethodRle}, uint8_t{kMethodLzh}, uint8_t{kMethodLh5}}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "method " << int{method} << " chunk " << c.chunk
                                      << " cancel " << c.cancel_fetch);
      TCompress packer;
      int calls = 0;
      packer.OnShowProgress = [&](int32_t& percent) {
        if (calls++ == c.cancel_fetch) percent = -1;  // call 0 is the one before the run
      };
      ShortReads src(input, c.chunk);
      TMemoryStream packed;
      uint32_t checksum = 0;
      packer.EncodeStream(packed, src, static_cast<int32_t>(input.size()), method, checksum);
      const size_t kept = std::min(
          input.size(), static_cast<size_t>(c.chunk) * static_cast<size_t>(c.cancel_fetch - 1));
      const Bytes prefix(input.begin(), input.begin() + static_cast<ptrdiff_t>(kept));
      EXPECT_EQ(checksum, std::accumulate(prefix.begin(), prefix.end(), 0u));
      TCompress unpacker;
      TMemoryStream in(packed.Data()), out;
      uint32_t sum = 0;
      unpacker.RunCodec(out, in, static_cast<int32_t>(packed.Data().size()),
                        static_cast<int32_t>(kept), method, sum, true, false);
      EXPECT_TRUE(out.Data() == prefix) << out.Data().size() << " bytes, " << kept << " expected";
    }
  }
}

}  // namespace
}  // namespace qobz
