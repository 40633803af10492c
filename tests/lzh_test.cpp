// LZH codec: golden streams, the model's rules, the search's limits, damaged input, round trips.
#include "codecs/lzh/lzh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "codecs/byte_stream.h"
#include "codecs/codecs.h"
#include "qobz/compress.h"
#include "support/corpus.h"
#include "support/lzh_support.h"

namespace qobz {
namespace {

using Bytes = std::vector<uint8_t>;
using test::LzhRawCompress;
using test::LzhToken;
using test::LzhTrace;
using test::StateOver;

Bytes Text(const char* s) {
  return Bytes(s, s + std::strlen(s));
}

// Through the driver, as an archive entry would go.
Bytes DriverCompress(const Bytes& in, int32_t key = 0) {
  TCompress c;
  c.Key = key;
  TMemoryStream src(in), dst;
  uint32_t sum = 0;
  c.RunCodec(dst, src, static_cast<int32_t>(in.size()), static_cast<int32_t>(in.size()), kMethodLzh,
             sum, false, false);
  EXPECT_EQ(sum, std::accumulate(in.begin(), in.end(), 0u));
  return dst.Data();
}

Bytes DriverExpand(const Bytes& packed, int32_t count, int32_t key = 0,
                   uint32_t* checksum = nullptr) {
  TCompress c;
  c.Key = key;
  TMemoryStream src(packed), dst;
  uint32_t sum = 0;
  int32_t out = c.RunCodec(dst, src, static_cast<int32_t>(packed.size()), count, kMethodLzh, sum,
                           true, key != 0);
  EXPECT_EQ(out, static_cast<int32_t>(dst.Data().size()));
  if (checksum) *checksum = sum;
  return dst.Data();
}

TEST(LzhGolden, StreamsOfTheFormat) {
  struct Case {
    Bytes plain;
    Bytes packed;
  } cases[] = {
      {Text("a"), {0xF6, 0x80}},
      {Text("abc"), {0xF6, 0xFB, 0xBD, 0xE0}},
      {Bytes(10, 'a'), {0xF6, 0xC9, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LzhRawCompress(c.plain), c.packed);
    uint32_t sum = 0;
    EXPECT_EQ(DriverExpand(c.packed, static_cast<int32_t>(c.plain.size()), 0, &sum), c.plain);
    EXPECT_EQ(sum, std::accumulate(c.plain.begin(), c.plain.end(), 0u));
  }
  // The driver takes the ten bytes (4 packed bytes fit) but must refuse the two short ones, whose
  // packed form is longer than the input.
  EXPECT_EQ(DriverCompress(Bytes(10, 'a')), (Bytes{0xF6, 0xC9, 0x00, 0x00}));
  EXPECT_THROW(DriverCompress(Text("a")), EUnableToCompress);
  EXPECT_THROW(DriverCompress(Text("abc")), EUnableToCompress);
}

TEST(LzhGolden, EmptyInputAndZeroCount) {
  EXPECT_TRUE(LzhRawCompress({}).empty());
  EXPECT_TRUE(DriverCompress({}).empty());
  // A count of 0 or below produces and reads nothing, whatever the packed data holds.
  for (int32_t count : {0, -1, INT32_MIN}) {
    TCompress c;
    TMemoryStream src(Bytes{0xF6, 0x80}), dst;
    uint32_t sum = 1;
    EXPECT_EQ(c.RunCodec(dst, src, 2, count, kMethodLzh, sum, true, false), 0);
    EXPECT_EQ(src.Position(), 0);
    EXPECT_EQ(c.CodecState().InSum, 0u);
    EXPECT_EQ(sum, 0u);
    EXPECT_FALSE(c.CodecState().LzhRing);
  }
}

TEST(LzhGolden, SixtyOneEqualBytesAreALiteralAndOneLongestMatch) {
  Bytes plain(61, 'a');
  auto tokens = LzhTrace(LzhRawCompress(plain), 61);
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0].symbol, 'a');
  EXPECT_EQ(tokens[1].symbol, 313);
  EXPECT_EQ(tokens[1].offset, 0);
}

TEST(LzhModel, StartTreeCodes) {
  StateOver st({});
  LzhAllocateWork(st.s);
  LzhStartModel(st.s);
  auto code = [&](int symbol) {
    LzhCode c = LzhSymbolCode(st.s.HuffParent.get(), symbol);
    std::string bits;
    for (int i = 0; i < c.length; ++i) bits += (c.bits >> (31 - i)) & 1 ? '1' : '0';
    return bits;
  };
  EXPECT_EQ(code(0), "110001100");
  EXPECT_EQ(code(115), "111111111");
  EXPECT_EQ(code(116), "00000000");
  EXPECT_EQ(code(256), "10001100");
  EXPECT_EQ(code(313), "11000101");
  for (int sym = 0; sym < LzhSymbolCount; ++sym)
    EXPECT_EQ(LzhSymbolCode(st.s.HuffParent.get(), sym).length, sym < 116 ? 9 : 8) << sym;
  LzhFreeWork(st.s);
  EXPECT_FALSE(st.s.HuffFreq);
  EXPECT_FALSE(st.s.TreeRight);
}

// The model's invariants: weights non-decreasing, internal weight = sum of its children,
// siblings at (even, odd), parent and child links agree, every symbol has exactly one leaf.
void ExpectModelConsistent(const TCompThreadSafety& s) {
  const uint16_t* freq = s.HuffFreq.get();
  const int16_t* parent = s.HuffParent.get();
  const int16_t* child = s.HuffChild.get();
  ASSERT_EQ(freq[LzhNodeCount], 0xFFFF);
  ASSERT_EQ(parent[LzhRoot], 0);
  std::vector<int> leaves(LzhSymbolCount, 0);
  for (int k = 0; k < LzhNodeCount; ++k) {
    if (k > 0) {
      ASSERT_LE(freq[k - 1], freq[k]) << k;
    }
    const int c = child[k];
    if (c >= LzhNodeCount) {
      ++leaves.at(c - LzhNodeCount);
      ASSERT_EQ(parent[c], k);
    } else {
      ASSERT_EQ(c % 2, 0);
      ASSERT_LT(c + 1, k);
      ASSERT_EQ(parent[c], k);
      ASSERT_EQ(parent[c + 1], k);
      ASSERT_EQ(freq[k], freq[c] + freq[c + 1]) << k;
    }
  }
  for (int n : leaves) ASSERT_EQ(n, 1);
}

uint16_t LeafWeight(const TCompThreadSafety& s, int symbol) {
  return s.HuffFreq[s.HuffParent[LzhNodeCount + symbol]];
}

TEST(LzhModel, RebuildHalvesLeafWeightsRoundingUp) {
  StateOver st({});
  LzhAllocateWork(st.s);
  LzhStartModel(st.s);
  LzhUpdateModel(st.s, 'A');
  LzhUpdateModel(st.s, 'B');
  LzhUpdateModel(st.s, 'B');
  for (int i = 0; i < 10; ++i) LzhUpdateModel(st.s, 300);
  ExpectModelConsistent(st.s);
  LzhRebuildNodes(st.s.HuffFreq.get(), st.s.HuffParent.get(), st.s.HuffChild.get());
  ExpectModelConsistent(st.s);
  EXPECT_EQ(LeafWeight(st.s, 'C'), 1);  // 1 stays 1
  EXPECT_EQ(LeafWeight(st.s, 'A'), 1);  // 2 becomes 1
  EXPECT_EQ(LeafWeight(st.s, 'B'), 2);  // 3 becomes 2
  EXPECT_EQ(LeafWeight(st.s, 300), 6);  // 11 becomes 6
  EXPECT_EQ(st.s.HuffFreq[LzhRoot], 313 - 2 + 1 + 2 + 6 + 0);
}

TEST(LzhModel, RebuildComesWithTheUpdateFor32455thSymbol) {
  StateOver st({});
  LzhAllocateWork(st.s);
  LzhStartModel(st.s);
  test::Rng rng(7);
  for (int i = 1; i <= 32454; ++i) {
    // Skewed, so that the exchanges of the update get exercised at every depth.
    int sym = static_cast<int>(rng.Below(1 + rng.Below(LzhSymbolCount)));
    LzhUpdateModel(st.s, sym);
    if (i % 8000 == 0) ExpectModelConsistent(st.s);
  }
  EXPECT_EQ(st.s.HuffFreq[LzhRoot], 32768);
  ExpectModelConsistent(st.s);
  LzhUpdateModel(st.s, 5);
  ExpectModelConsistent(st.s);
  EXPECT_LT(st.s.HuffFreq[LzhRoot], 16384 + LzhSymbolCount + 1);
  EXPECT_GT(st.s.HuffFreq[LzhRoot], 16384);
}

TEST(LzhOffsetCode, EveryOffsetRoundTripsWithItsCodeLength) {
  // Writes all offsets into one stream, then reads them back.
  StateOver w({});
  LzhAllocateWork(w.s);
  LzhStartModel(w.s);
  for (int off = 0; off < LzhRingSize; ++off) LzhEncodeOffset(w.s, off);
  LzhFlushBits(w.s);
  Bytes packed = w.Output();
  // Lengths: 3 bits for h = 0, 4 for 1..3, 5 for 4..11, 6 for 12..23, 7 for 24..47, 8 for the
  // rest, each followed by 6 plain bits; 64 offsets per h.
  const size_t bits =
      64 * ((3 + 6) + 3 * (4 + 6) + 8 * (5 + 6) + 12 * (6 + 6) + 24 * (7 + 6) + 16 * (8 + 6));
  EXPECT_EQ(packed.size(), (bits + 7) / 8);
  StateOver r(packed);
  LzhAllocateWork(r.s);
  LzhStartModel(r.s);
  for (int off = 0; off < LzhRingSize; ++off) ASSERT_EQ(LzhDecodeOffset(r.s), off);
}

TEST(LzhOffsetCode, GoldenBits) {
  auto encode = [](int off) {
    StateOver w({});
    LzhAllocateWork(w.s);
    LzhStartModel(w.s);
    LzhEncodeOffset(w.s, off);
    LzhFlushBits(w.s);
    return w.Output();
  };
  EXPECT_EQ(encode(0), (Bytes{0x00, 0x00}));             // 000 000000
  EXPECT_EQ(encode(4095), (Bytes{0xFF, 0xFC}));          // 11111111 111111
  EXPECT_EQ(encode(64 + 5), (Bytes{0x21, 0x40}));        // 0010 000101
  EXPECT_EQ(encode(11 * 64 + 63), (Bytes{0x8F, 0xE0}));  // 10001 111111
  EXPECT_EQ(encode(12 * 64 + 1), (Bytes{0x90, 0x10}));   // 100100 000001
  EXPECT_EQ(encode(47 * 64), (Bytes{0xEE, 0x00}));       // 1110111 000000
}

TEST(LzhCompressor, OffsetsReachBack4036BytesAndNoFurther) {
  for (int block : {4036, 4037}) {
    Bytes plain = test::MakeData(test::Kind::Random, static_cast<size_t>(block), 3);
    Bytes twice = plain;
    twice.insert(twice.end(), plain.begin(), plain.end());
    auto tokens = LzhTrace(LzhRawCompress(twice), static_cast<int32_t>(twice.size()));
    int produced = 0, in_second_by_match = 0;
    for (const LzhToken& t : tokens) {
      if (t.symbol >= 256) {
        EXPECT_LE(t.offset, 4035);
        if (produced >= block) {
          if (block == 4036) {
            EXPECT_EQ(t.offset, 4035);
          }
          in_second_by_match += t.symbol - LzhMatchSymbolBias;
        }
      }
      produced += t.symbol < 256 ? 1 : t.symbol - LzhMatchSymbolBias;
    }
    if (block == 4036) {
      EXPECT_EQ(in_second_by_match, block);  // the whole repeat, in matches of 60 and the rest
    } else {
      EXPECT_LT(in_second_by_match, 100);  // only chance matches of a few bytes
    }
  }
}

TEST(LzhCompressor, CorpusNeverUsesOffsetsAbove4035) {
  for (const auto& sample : test::Corpus(false)) {
    auto tokens = LzhTrace(LzhRawCompress(sample.data), static_cast<int32_t>(sample.data.size()));
    for (const LzhToken& t : tokens)
      if (t.symbol >= 256) {
        ASSERT_LE(t.offset, 4035) << sample.name;
      }
  }
}

TEST(LzhCompressor, MatchesAreCutToTheEndOfInput) {
  // 70 bytes: a literal, a match of 60, then 9 left in the look-ahead.
  Bytes plain(70, 'x');
  auto tokens = LzhTrace(LzhRawCompress(plain), 70);
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[1].symbol - LzhMatchSymbolBias, 60);
  EXPECT_EQ(tokens[2].symbol - LzhMatchSymbolBias, 9);
  EXPECT_EQ(DriverExpand(LzhRawCompress(plain), 70), plain);
}

TEST(LzhCompressor, ReleasesItsTablesWhenTheOutputLimitStopsIt) {
  TCompress c;
  Bytes random = test::MakeData(test::Kind::Random, 5000, 9);
  TMemoryStream src(random), dst;
  uint32_t sum = 0;
  EXPECT_THROW(c.RunCodec(dst, src, 5000, 5000, kMethodLzh, sum, false, false), EUnableToCompress);
  EXPECT_FALSE(c.CodecState().LzhRing);
  EXPECT_FALSE(c.CodecState().TreeLeft);
  EXPECT_FALSE(c.CodecState().HuffFreq);
}

// A stream whose symbols are chosen here, not by the compressor.
class HandStream {
 public:
  HandStream() : st_({}) {
    LzhAllocateWork(st_.s);
    LzhStartModel(st_.s);
  }
  HandStream& Literal(uint8_t b) {
    LzhEncodeSymbol(st_.s, b);
    return *this;
  }
  HandStream& Match(int length, int offset) {
    LzhEncodeSymbol(st_.s, length + LzhMatchSymbolBias);
    LzhEncodeOffset(st_.s, offset);
    return *this;
  }
  Bytes Finish() {
    LzhFlushBits(st_.s);
    return st_.Output();
  }

 private:
  StateOver st_;
};

TEST(LzhExpander, WholeRingStartsAsSpaces) {
  // Offsets 4036..4095 at the start reach ring positions 4036..4095, which the compressor never
  // uses but a foreign or damaged stream may.
  Bytes packed = HandStream().Match(60, 4095).Literal('z').Match(3, 4040 + 1).Finish();
  Bytes expect(60, ' ');
  expect.push_back('z');
  expect.insert(expect.end(), 3, ' ');
  EXPECT_EQ(DriverExpand(packed, 64), expect);
  // Offset 4095 later copies the byte written 4096 positions earlier.
  HandStream h;
  for (int i = 0; i < 4096; ++i) h.Literal(static_cast<uint8_t>(i * 7));
  Bytes out = DriverExpand(h.Match(3, 4095).Finish(), 4099);
  EXPECT_EQ(out[4096], 0);
  EXPECT_EQ(out[4097], 7);
  EXPECT_EQ(out[4098], 14);
}

TEST(LzhExpander, MatchesBeforeTheDataCopySpacesAndOverlapTheirOutput) {
  Bytes packed = HandStream().Literal('q').Match(5, 10).Literal('r').Match(4, 1).Finish();
  // Offset 10 reaches 9 positions before 'q' into the spaces; offset 1 repeats the last two.
  Bytes expect = Text("q     r r r");
  EXPECT_EQ(DriverExpand(packed, static_cast<int32_t>(expect.size())), expect);
}

// Packed data that run out: both decoders may take only their bit reader's look-ahead past the
// end of a valid stream; a stream that needs more bits than it holds is damaged (EBadChecksum, or
// EInvalidKey for a locked entry), however large the unpacked size it claims, while a cancelled
// run still decodes on from zero bits to the size asked for.
TEST(Decoders, PackedDataThatRunOutAreDamaged) {
  const Bytes plain = test::MakeData(test::Kind::Text, 20000, 4);
  const auto n = static_cast<int32_t>(plain.size());
  enum Cut { kWhole, kPadded, kEmpty, kHalf };
  struct Case {
    Cut cut;
    int32_t count;   // unpacked size claimed
    bool cancel;     // the first fetch is cancelled
    bool damaged;    // EBadChecksum expected
    size_t max_out;  // bytes written at most
  };
  const Case cases[] = {
      {kWhole, n, false, false, size_t(n) + 59},
      {kPadded, n, false, false, size_t(n) + 59},  // bytes after the stream are never needed
      {kEmpty, 100000, false, true, 64},           // a bomb: nothing but a size
      {kWhole, n + 100000, false, true, size_t(n) + 4096},  // a valid stream claiming more
      {kHalf, n, false, true, size_t(n)},
      {kWhole, n, true, false, size_t(n) + 59},  // cancelled: zero bits up to the size
      {kHalf, n, true, false, size_t(n) + 59},   // even where the data run out
  };
  for (const uint8_t method : {uint8_t{kMethodLzh}, uint8_t{kMethodLh5}}) {
    TCompress packer;
    TMemoryStream src(plain), packed_stream;
    uint32_t sum = 0;
    packer.EncodeStream(packed_stream, src, n, method, sum);
    const Bytes packed = packed_stream.Data();
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "method " << int{method} << " cut " << c.cut << " count "
                                      << c.count << " cancel " << c.cancel);
      Bytes in = c.cut == kEmpty ? Bytes{} : packed;
      if (c.cut == kPadded) in.resize(in.size() + 30, 0xA7);
      if (c.cut == kHalf) in.resize(in.size() / 2);
      TCompress codec;
      int calls = 0;
      if (c.cancel) {
        codec.OnShowProgress = [&calls](int32_t& percent) {
          if (++calls == 2) percent = -1;  // call 1 is the 0 before the run
        };
      }
      TMemoryStream source(in), dest;
      uint32_t checksum = 0;
      bool damaged = false;
      try {
        codec.RunCodec(dest, source, static_cast<int32_t>(in.size()), c.count, method, checksum,
                       true, false);
      } catch (const EBadChecksum&) {
        damaged = true;
      }
      EXPECT_EQ(damaged, c.damaged);
      EXPECT_LE(dest.Data().size(), c.max_out);
      if (!c.damaged) {
        EXPECT_GE(dest.Data().size(), static_cast<size_t>(c.count));
      }
      if (!c.damaged && !c.cancel) {
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), dest.Data().begin()));
      }
      if (c.cut == kEmpty && !c.cancel) {
        // The same entry in an archive: damaged, and a locked one reports the key.
        for (const int32_t lock : {0, 1, 2}) {
          TCompress entry;
          entry.Key = 77;
          TMemoryStream none, out;
          if (lock == 0) {
            EXPECT_THROW(entry.ExpandEntry(out, none, 0, c.count, 1234, method, "", lock),
                         EBadChecksum);
          } else {
            EXPECT_THROW(entry.ExpandEntry(out, none, 0, c.count, 1234, method, "", lock),
                         EInvalidKey);
          }
        }
      }
    }
  }
}

// A handler that records, at each input fetch, how far the output had got: it pins which symbol
// made the bit reader take the next buffer.
std::vector<std::pair<int32_t, int32_t>> FetchLog(const Bytes& packed, int32_t count, int32_t key,
                                                  int cancel_at = -1) {
  TCompress c;
  c.Key = key;
  std::vector<std::pair<int32_t, int32_t>> log;
  c.OnShowProgress = [&](int32_t& percent) {
    log.emplace_back(percent, c.CodecState().OutCount);
    if (static_cast<int>(log.size()) == cancel_at) percent = -1;
  };
  TMemoryStream src(packed), dst;
  uint32_t sum = 0;
  c.RunCodec(dst, src, static_cast<int32_t>(packed.size()), count, kMethodLzh, sum, true, key != 0);
  // InSum is taken before unscrambling, so it only tells the runs apart by their packed bytes;
  // it is checked by the caller.
  log.emplace_back(static_cast<int32_t>(src.Position()), key == 0 ? c.CodecState().InSum : 0);
  log.emplace_back(static_cast<int32_t>(dst.Data().size()), static_cast<int32_t>(sum));
  return log;
}

TEST(LzhExpander, FetchesEveryPackedByteAtTheSameSymbolWithOrWithoutKey) {
  const int32_t key = 0x5A3C0F11;
  for (test::Kind kind : {test::Kind::Text, test::Kind::Random, test::Kind::Runs}) {
    Bytes plain = test::MakeData(kind, 100000, 2);
    Bytes packed = LzhRawCompress(plain);
    Bytes scrambled = packed;
    for (size_t i = 0; i < scrambled.size(); ++i)
      scrambled[i] ^= static_cast<uint8_t>(static_cast<uint32_t>(key) >> (8 * (i % 4)));
    const int32_t n = static_cast<int32_t>(plain.size());
    auto plain_log = FetchLog(packed, n, 0);
    auto keyed_log = FetchLog(scrambled, n, key);
    keyed_log[keyed_log.size() - 2].second = plain_log[plain_log.size() - 2].second;
    EXPECT_EQ(plain_log, keyed_log);
    // The reader ends exactly at the end of the packed data, having summed all of it.
    const auto& end = plain_log[plain_log.size() - 2];
    EXPECT_EQ(end.first, static_cast<int32_t>(packed.size()));
    EXPECT_EQ(static_cast<uint32_t>(end.second), std::accumulate(packed.begin(), packed.end(), 0u));
    EXPECT_EQ(plain_log.back().first, n);
    EXPECT_EQ(static_cast<uint32_t>(plain_log.back().second),
              std::accumulate(plain.begin(), plain.end(), 0u));
    // A cancelled fetch turns the rest into 0 bits but the count still comes out.
    for (int cancel_at : {2, 3}) {
      auto a = FetchLog(packed, n, 0, cancel_at);
      auto b = FetchLog(scrambled, n, key, cancel_at);
      b[b.size() - 2].second = a[a.size() - 2].second;
      EXPECT_EQ(a, b);
      EXPECT_GE(a.back().first, n);
      EXPECT_LE(a.back().first, n + 59);
    }
  }
}

TEST(LzhRoundTrip, CorpusThroughTheDriverWithAndWithoutKey) {
  for (const auto& sample : test::Corpus(false)) {
    const Bytes& plain = sample.data;
    const int32_t n = static_cast<int32_t>(plain.size());
    Bytes packed = LzhRawCompress(plain);
    uint32_t sum = 0;
    ASSERT_EQ(DriverExpand(packed, n, 0, &sum), plain) << sample.name;
    EXPECT_EQ(sum, std::accumulate(plain.begin(), plain.end(), 0u));
    if (packed.size() <= plain.size()) {
      EXPECT_EQ(DriverCompress(plain), packed) << sample.name;
      Bytes keyed = DriverCompress(plain, -12345);
      ASSERT_EQ(DriverExpand(keyed, n, -12345), plain) << sample.name;
    }
  }
}

// Literals counted in Fibonacci proportions (34:21:13:8:5:3:2:1:1) grow the tree's longest spine:
// the group of never used symbols ends up 9 levels down and its leaves 17 or 18, so their codes go
// out in two pieces. The stream is built symbol by symbol, since the compressor's matches would
// flatten the weights, then expanded.
Bytes DeepTreeLiterals(size_t periods) {
  static const int kCounts[] = {34, 21, 13, 8, 5, 3, 2, 1, 1};
  Bytes period;
  for (int k = 0; k < 9; ++k) period.insert(period.end(), kCounts[k], static_cast<uint8_t>(k));
  test::Rng rng(3);
  Bytes plain;
  for (size_t p = 0; p < periods; ++p) {
    for (size_t i = period.size() - 1; i > 0; --i) std::swap(period[i], period[rng.Below(i + 1)]);
    plain.insert(plain.end(), period.begin(), period.end());
  }
  // A few of the rare symbols, which sit deepest.
  for (int k = 0; k < 40; ++k) plain.at(30000 + 4000 * k) = static_cast<uint8_t>(200 + k);
  return plain;
}

TEST(LzhRoundTrip, CodesLongerThan16BitsAreWrittenWhole) {
  Bytes plain = DeepTreeLiterals(2500);
  HandStream h;
  for (uint8_t b : plain) h.Literal(b);
  Bytes packed = h.Finish();
  int longest = 0;
  for (const LzhToken& t : LzhTrace(packed, static_cast<int32_t>(plain.size())))
    longest = std::max(longest, t.code_length);
  EXPECT_GT(longest, 16);
  EXPECT_EQ(DriverExpand(packed, static_cast<int32_t>(plain.size())), plain);
  // The compressor's own stream of the same bytes.
  EXPECT_EQ(DriverExpand(LzhRawCompress(plain), static_cast<int32_t>(plain.size())), plain);
}

TEST(LzhRoundTrip, LongInputsWithManyModelRebuilds) {
  for (test::Kind kind : {test::Kind::Text, test::Kind::Binary, test::Kind::Random}) {
    Bytes plain = test::MakeData(kind, 1u << 20, 6);
    Bytes packed = LzhRawCompress(plain);
    if (kind == test::Kind::Random) {
      EXPECT_GT(LzhTrace(packed, static_cast<int32_t>(plain.size())).size(), 30u * 32455);
    }
    ASSERT_EQ(DriverExpand(packed, static_cast<int32_t>(plain.size())), plain)
        << test::KindName(kind);
  }
}

}  // namespace
}  // namespace qobz
