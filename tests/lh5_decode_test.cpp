// The LH5 decoder: golden streams, hostile headers, and the fast loop against the byte-at-a-time
// flow on many streams with every observable effect compared.
#include "codecs/lh5/lh5_decode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/byte_stream.h"
#include "codecs/codecs.h"
#include "codecs/run.h"
#include "qobz/compress.h"
#include "qobz/errors.h"
#include "support/lh5_stream_builder.h"

namespace qobz {
namespace {

using test::BitSink;
using test::Lh5Item;
using test::Lh5StreamBuilder;

std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

constexpr uint8_t kMethodLH5 = 4;

struct DriverResult {
  std::vector<uint8_t> out;
  uint32_t checksum = 0;
  int32_t written = 0;
  int64_t source_position = 0;
};

// Expands through the component's codec driver, as archives do.
DriverResult ExpandViaDriver(const std::vector<uint8_t>& packed, int32_t unpacked_size,
                             int32_t key = 0, int64_t input_size = -1) {
  TCompress compress;
  compress.Key = key;
  TMemoryStream source(packed);
  TMemoryStream dest;
  DriverResult r;
  r.written = compress.RunCodec(dest, source,
                                static_cast<int32_t>(input_size < 0 ? packed.size() : input_size),
                                unpacked_size, kMethodLH5, r.checksum, true, key != 0);
  r.out = dest.Data();
  r.source_position = source.Position();
  return r;
}

uint32_t Sum(const std::vector<uint8_t>& v) {
  uint32_t s = 0;
  for (uint8_t b : v) s += b;
  return s;
}

std::vector<uint8_t> Scramble(std::vector<uint8_t> v, int32_t key) {
  for (size_t i = 0; i < v.size(); ++i)
    v[i] ^= static_cast<uint8_t>(static_cast<uint32_t>(key) >> (8 * (i % 4)));
  return v;
}

const std::vector<uint8_t> kAbcStream = {0x00, 0x04, 0x28, 0x05, 0x30, 0x41,
                                         0x37, 0x91, 0x70, 0x21, 0xB0};
const std::vector<uint8_t> kEveryTreeStream = {
    0x00, 0x0E, 0x80, 0xFF, 0xC4, 0x4E, 0x5D, 0xDE, 0xFB, 0xF7, 0xF7, 0xFB, 0xFE, 0xFF, 0xD0, 0xF0,
    0xB6, 0xDD, 0xEF, 0xBF, 0x7F, 0x7F, 0xBF, 0xEF, 0xFD, 0xFF, 0xDF, 0xFE, 0x27, 0xFF, 0xFF, 0xFF,
    0xFA, 0xBF, 0xFF, 0xEF, 0xFB, 0xFE, 0xFF, 0x7F, 0x7E, 0xFB, 0xDD, 0xAC, 0x68, 0xAD, 0xDE, 0xFB,
    0xF7, 0xF7, 0xFB, 0xFE, 0xFF, 0xDF, 0xFD, 0xFF, 0xEF, 0xF9, 0xFF, 0xFF, 0xFF, 0x80};

// ---------------------------------------------------------------------------------------------
// Golden streams through the driver.

TEST(LH5ExpandGolden, ElevenByteStreamRepeatsByMatch) {
  DriverResult r = ExpandViaDriver(kAbcStream, 9);
  EXPECT_EQ(r.out, Bytes("abcabcabc"));
  EXPECT_EQ(r.checksum, 3u * (97 + 98 + 99));
  EXPECT_EQ(r.written, 9);
  EXPECT_EQ(r.source_position, 11);
}

TEST(LH5ExpandGolden, SixtyTwoByteStreamWalksEveryTree) {
  DriverResult r = ExpandViaDriver(kEveryTreeStream, 32);
  EXPECT_EQ(r.out, Bytes("ABCDEFGHIJKLABCABCABCABCABCABCAB"));
  EXPECT_EQ(r.checksum, Sum(Bytes("ABCDEFGHIJKLABCABCABCABCABCABCAB")));
  EXPECT_EQ(r.source_position, 62);
}

TEST(LH5ExpandGolden, KeyUnscramblesPackedBytes) {
  const int32_t key = static_cast<int32_t>(0xA1B2C3D4u);
  DriverResult r = ExpandViaDriver(Scramble(kEveryTreeStream, key), 32, key);
  EXPECT_EQ(r.out, Bytes("ABCDEFGHIJKLABCABCABCABCABCABCAB"));
  EXPECT_EQ(r.checksum, Sum(r.out));
}

TEST(LH5ExpandGolden, OnlyTheFirstFetchIsReadWhenTheStreamEndsEarly) {
  // The stream needs 11 bytes; the entry claims 20000. One 8192-byte fetch, no second one.
  std::vector<uint8_t> packed = kAbcStream;
  packed.resize(20000, 0xEE);
  DriverResult r = ExpandViaDriver(packed, 9);
  EXPECT_EQ(r.out, Bytes("abcabcabc"));
  EXPECT_EQ(r.source_position, 8192);
}

TEST(LH5ExpandGolden, ZeroSizeReadsNothing) {
  DriverResult r = ExpandViaDriver(kAbcStream, 0);
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.source_position, 0);
  EXPECT_EQ(r.checksum, 0u);
}

TEST(LH5ExpandGolden, FirstMatchReadsSpacesOfTheFreshWindow) {
  Lh5StreamBuilder b;
  b.AddBlock({Lh5Item::Match(3, 0)});
  EXPECT_EQ(ExpandViaDriver(b.Bytes(), 3).out, Bytes("   "));
  // The far end of the fresh window is spaces too, and the match repeats into the output.
  Lh5StreamBuilder far;
  far.AddBlock({Lh5Item::Literal('q'), Lh5Item::Match(5, 8191), Lh5Item::Match(4, 5)});
  EXPECT_EQ(ExpandViaDriver(far.Bytes(), 10).out, Bytes("q     q   "));
}

TEST(LH5ExpandGolden, MatchShorterThanItsLengthRepeats) {
  Lh5StreamBuilder b;
  b.AddBlock({Lh5Item::Literal('x'), Lh5Item::Match(10, 0)});
  EXPECT_EQ(ExpandViaDriver(b.Bytes(), 11).out, Bytes("xxxxxxxxxxx"));
  Lh5StreamBuilder pattern;
  pattern.AddBlock(
      {Lh5Item::Literal('a'), Lh5Item::Literal('b'), Lh5Item::Literal('c'), Lh5Item::Match(7, 2)});
  EXPECT_EQ(ExpandViaDriver(pattern.Bytes(), 10).out, Bytes("abcabcabca"));
}

TEST(LH5ExpandGolden, LastMatchIsWrittenWhole) {
  Lh5StreamBuilder b;
  b.AddBlock(
      {Lh5Item::Literal('a'), Lh5Item::Literal('b'), Lh5Item::Literal('c'), Lh5Item::Match(6, 2)});
  DriverResult r = ExpandViaDriver(b.Bytes(), 5);
  EXPECT_EQ(r.out, Bytes("abcabcabc"));
  EXPECT_EQ(r.written, 9);
}

TEST(LH5ExpandGolden, OverlongCountsAreReadAndTheExtraLengthsIgnored) {
  // Length alphabet: count 31, symbols 3 and 4 at length 1, then 12 lengths past its 19 entries
  // that are read and ignored. Main: symbols 0 and 1 at length 1.
  std::vector<int> tl(31, 0);
  tl[3] = 1;
  tl[4] = 1;
  for (int i = 19; i < 31; ++i) tl[i] = 5 + (i % 9);
  BitSink s;
  s.Put(16, 3);
  test::PutShortList(s, tl, 5, 0);
  s.Put(9, 2);  // main: symbols 0 and 1, each sent as length symbol 3 (length 1, code 0)
  s.Put(1, 0);
  s.Put(1, 0);
  // Position alphabet: count 15, class 0 and class 1 at length 1, the 15th length (6) ignored.
  std::vector<int> pl(15, 0);
  pl[0] = 1;
  pl[1] = 1;
  pl[14] = 6;
  test::PutShortList(s, pl, 4, std::nullopt);
  s.Put(1, 1);  // symbol 1
  s.Put(1, 0);  // symbol 0
  s.Put(1, 1);  // symbol 1
  DriverResult r = ExpandViaDriver(s.Bytes(), 3);
  EXPECT_EQ(r.out, (std::vector<uint8_t>{1, 0, 1}));
}

TEST(LH5ExpandGolden, IncompleteTotalIsRefusedWithItsMessage) {
  // Lengths 1, 1, 2: total 81920, not 0 modulo 65536.
  BitSink s;
  s.Put(16, 1);
  test::PutShortList(s, {1, 1, 2}, 5, 0);
  try {
    ExpandViaDriver(s.Bytes(), 1);
    FAIL() << "no exception";
  } catch (const ELZHBadDecodeTable& e) {
    EXPECT_STREQ(e.what(), "Bad decode table in archive!");
  }
}

// ---------------------------------------------------------------------------------------------
// Streams that the 16-bit total lets through but that cannot be decoded safely.

// A block header up to the main list, with a valid length alphabet (symbols 0, 1, 2 and 3..18
// with lengths that make a complete code) for tests that break later parts.
std::vector<int> FullLengthAlphabet() {
  // Every one of the 19 symbols used: 13 codes of 4 bits and 6 of 5.
  return test::HuffmanLengths(std::vector<uint64_t>(19, 1));
}

void PutLengthAlphabet(BitSink& s, const std::vector<int>& tl) {
  test::PutShortList(s, tl, 5, test::ZeroRunAt3(tl));
}

void PutLengthSymbol(BitSink& s, const std::vector<int>& tl, int sym) {
  const auto code = test::CanonicalCodes(tl);
  s.Put(tl[sym], code[sym]);
}

void ExpectRefused(const std::vector<uint8_t>& packed, int32_t size = 100) {
  EXPECT_THROW(ExpandViaDriver(packed, size), ELZHBadDecodeTable);
}

TEST(LH5ExpandHostile, ShortLengthsAbove16AreRefused) {
  for (int bad = 17; bad <= 20; ++bad) {
    SCOPED_TRACE(bad);
    // 17..20 in the length alphabet and in the position alphabet.
    BitSink s;
    s.Put(16, 1);
    test::PutShortList(s, {1, bad, 1}, 5, 0);
    ExpectRefused(s.Bytes());

    BitSink p;
    p.Put(16, 1);
    p.Put(5, 0);
    p.Put(5, 3);  // length alphabet: only symbol 3 (length 1)
    p.Put(9, 2);  // main: symbols 0 and 1 of length 1, each a zero-bit symbol 3
    p.Put(4, 3);
    PutShortLength(p, 1);
    PutShortLength(p, bad);
    PutShortLength(p, 1);
    ExpectRefused(p.Bytes());
  }
}

TEST(LH5ExpandHostile, MainZeroRunPastTheListIsRefused) {
  const std::vector<int> tl = FullLengthAlphabet();
  for (int overshoot : {1, 20, 500}) {
    SCOPED_TRACE(overshoot);
    BitSink s;
    s.Put(16, 1);
    PutLengthAlphabet(s, tl);
    s.Put(9, 511);
    // Runs of 20 zeros up to index 480, then a run reaching past index 510 (511 entries are the
    // most a list can hold).
    int i = 0;
    while (i < 480) {
      PutLengthSymbol(s, tl, 2);
      s.Put(9, 0);  // 20 zeros
      i += 20;
    }
    const int run = 511 - i + overshoot;
    ASSERT_GE(run, 20);
    ASSERT_LE(run, 531);
    PutLengthSymbol(s, tl, 2);
    s.Put(9, static_cast<uint32_t>(run - 20));
    ExpectRefused(s.Bytes());
  }
}

TEST(LH5ExpandHostile, MainZeroRunEndingAtIndex510IsAccepted) {
  // The 511th entry may be sent and is ignored: a run that ends exactly there is fine.
  const std::vector<int> tl = FullLengthAlphabet();
  BitSink s;
  s.Put(16, 2);
  PutLengthAlphabet(s, tl);
  s.Put(9, 511);
  PutLengthSymbol(s, tl, 3);  // main symbols 0 and 1: length 1
  PutLengthSymbol(s, tl, 3);
  PutLengthSymbol(s, tl, 2);
  s.Put(9, 509 - 20);  // 509 zeros: indices 2..510
  s.Put(4, 0);
  s.Put(4, 0);  // position: single class 0
  s.Put(1, 1);
  s.Put(1, 0);
  EXPECT_EQ(ExpandViaDriver(s.Bytes(), 2).out, (std::vector<uint8_t>{1, 0}));
}

TEST(LH5ExpandHostile, SingleSymbolOutsideItsAlphabetIsRefused) {
  for (int sym = 19; sym < 32; ++sym) {
    BitSink s;
    s.Put(16, 1);
    s.Put(5, 0);
    s.Put(5, static_cast<uint32_t>(sym));
    ExpectRefused(s.Bytes());
  }
  for (int sym : {510, 511}) {
    BitSink s;
    s.Put(16, 1);
    s.Put(5, 0);
    s.Put(5, 0);
    s.Put(9, 0);
    s.Put(9, static_cast<uint32_t>(sym));
    ExpectRefused(s.Bytes());
  }
  for (int sym : {14, 15}) {
    BitSink s;
    s.Put(16, 1);
    s.Put(5, 0);
    s.Put(5, 0);
    s.Put(9, 0);
    s.Put(9, 256);  // a match, so the position code is used
    s.Put(4, 0);
    s.Put(4, static_cast<uint32_t>(sym));
    ExpectRefused(s.Bytes());
  }
}

TEST(LH5ExpandHostile, ListsWithoutAnyLengthAreRefused) {
  {
    // Length alphabet: count 3, all zero.
    BitSink s;
    s.Put(16, 1);
    test::PutShortList(s, {0, 0, 0}, 5, 0);
    ExpectRefused(s.Bytes());
  }
  {
    // Main list: 5 lengths all zero (one run symbol, the only length symbol, 0 bits each).
    BitSink s;
    s.Put(16, 1);
    s.Put(5, 0);
    s.Put(5, 0);
    s.Put(9, 5);
    ExpectRefused(s.Bytes());
  }
  {
    // Position alphabet: count 14, all zero.
    BitSink s;
    s.Put(16, 1);
    s.Put(5, 0);
    s.Put(5, 0);
    s.Put(9, 0);
    s.Put(9, 65);
    test::PutShortList(s, std::vector<int>(14, 0), 4, std::nullopt);
    ExpectRefused(s.Bytes());
  }
}

TEST(LH5ExpandHostile, OverFullListsAreRefused) {
  {
    // Length alphabet: four lengths of 1 (total 131072).
    BitSink s;
    s.Put(16, 1);
    test::PutShortList(s, {1, 1, 1, 1}, 5, 0);
    ExpectRefused(s.Bytes());
  }
  {
    // Main list: 8 symbols of length 2 (total 131072), each a zero-bit length symbol 4.
    BitSink s;
    s.Put(16, 1);
    s.Put(5, 0);
    s.Put(5, 4);
    s.Put(9, 8);
    ExpectRefused(s.Bytes());
  }
  {
    // Main list: 3 symbols of length 1 and 2 of length 2 (total 131072).
    BitSink s;
    s.Put(16, 1);
    test::PutShortList(s, {0, 0, 0, 1, 1}, 5, 0);  // length symbols 3 (code 0) and 4 (code 1)
    s.Put(9, 5);
    s.Put(3, 0);
    s.Put(2, 3);
    ExpectRefused(s.Bytes());
  }
}

// ---------------------------------------------------------------------------------------------
// The fast loop against the byte-at-a-time flow.

// A source that delivers at most `chunk` bytes per read and logs every read.
class LoggingSource : public TStream {
 public:
  LoggingSource(const std::vector<uint8_t>& data, int32_t chunk, std::vector<std::string>& log)
      : data_(data), chunk_(chunk), log_(log) {}
  int32_t Read(void* buffer, int32_t count) override {
    int32_t n = std::min<int64_t>({count, chunk_, static_cast<int64_t>(data_.size()) - pos_});
    if (n < 0) n = 0;
    if (n > 0) std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    log_.push_back("R" + std::to_string(count) + ":" + std::to_string(n));
    return n;
  }
  void WriteBuffer(const void*, int32_t) override { throw std::logic_error("source written"); }
  int64_t Seek(int64_t, SeekOrigin) override { return pos_; }

 private:
  const std::vector<uint8_t>& data_;
  int32_t chunk_;
  std::vector<std::string>& log_;
  int64_t pos_ = 0;
};

class LoggingDest : public TStream {
 public:
  explicit LoggingDest(std::vector<std::string>& log) : log_(log) {}
  int32_t Read(void*, int32_t) override { return 0; }
  void WriteBuffer(const void* buffer, int32_t count) override {
    const auto* p = static_cast<const uint8_t*>(buffer);
    data.insert(data.end(), p, p + count);
    log_.push_back("W" + std::to_string(count));
  }
  int64_t Seek(int64_t, SeekOrigin) override { return static_cast<int64_t>(data.size()); }
  std::vector<uint8_t> data;

 private:
  std::vector<std::string>& log_;
};

struct RunSetup {
  std::vector<uint8_t> packed;
  int32_t input_size = 0;
  int32_t unpacked_size = 0;
  int32_t chunk = 8192;
  int32_t key = 0;
  bool progress = false;
  int cancel_at = -1;  // the n-th progress call (from 0) answers -1
};

struct RunRecord {
  std::vector<std::string> log;
  std::vector<uint8_t> out;
  std::string error;
  uint32_t in_sum = 0, out_sum = 0;
  int32_t out_count = 0, in_remaining = 0, in_done = 0;
  int16_t key_index = 0;
  uint16_t bit_buffer = 0, block_remaining = 0;
  uint8_t bit_byte = 0, bit_count = 0;
  bool end_of_input = false;
  ptrdiff_t in_pos = 0, in_end = 0;
};

bool operator==(const RunRecord& a, const RunRecord& b) {
  return a.log == b.log && a.out == b.out && a.error == b.error && a.in_sum == b.in_sum &&
         a.out_sum == b.out_sum && a.out_count == b.out_count && a.in_remaining == b.in_remaining &&
         a.in_done == b.in_done && a.key_index == b.key_index && a.bit_buffer == b.bit_buffer &&
         a.block_remaining == b.block_remaining && a.bit_byte == b.bit_byte &&
         a.bit_count == b.bit_count && a.end_of_input == b.end_of_input && a.in_pos == b.in_pos &&
         a.in_end == b.in_end;
}

// Sets up the codec state as the driver does for an expanding run, runs one routine, flushes,
// and records every effect.
RunRecord RunRoutine(void (*routine)(TCompThreadSafety&, int32_t), const RunSetup& setup) {
  RunRecord r;
  LoggingSource source(setup.packed, setup.chunk, r.log);
  LoggingDest dest(r.log);
  TCompThreadSafety s;
  int calls = 0;
  const TShowProgressEvent handler = [&](int32_t& percent) {
    r.log.push_back("P" + std::to_string(percent));
    if (calls++ == setup.cancel_at) percent = -1;
  };
  TCodecOptions options;
  options.Key = setup.key;
  options.Scrambled = true;
  if (setup.progress) options.Progress = &handler;
  TCodecRun run(s, dest, source, setup.input_size, true, options);
  try {
    routine(s, setup.unpacked_size);
    FlushOutput(s);
  } catch (const std::exception& e) {
    r.error = e.what();
  }
  r.out = dest.data;
  r.in_sum = s.InSum;
  r.out_sum = s.OutSum;
  r.out_count = s.OutCount;
  r.in_remaining = s.InRemaining;
  r.in_done = s.InDone;
  r.key_index = s.KeyIndex;
  r.bit_buffer = s.BitBuffer;
  r.block_remaining = s.BlockRemaining;
  r.bit_byte = s.BitByte;
  r.bit_count = s.BitCount;
  r.end_of_input = s.EndOfInput;
  r.in_pos = s.InPos - s.InputBuffer;
  r.in_end = s.InEnd - s.InputBuffer;
  return r;
}

// Random items over a random history, with skewed symbol frequencies so that codes grow long
// enough to need the trees, and matches of every distance class and length.
std::vector<Lh5Item> RandomItems(std::mt19937& rng, size_t count, int64_t& produced) {
  std::vector<Lh5Item> items;
  std::geometric_distribution<int> skew(0.08);
  std::uniform_int_distribution<int> pct(0, 99);
  for (size_t i = 0; i < count; ++i) {
    const int kind = pct(rng);
    if (kind < 45) {
      items.push_back(Lh5Item::Literal(static_cast<uint8_t>(skew(rng) % 256)));
      ++produced;
    } else {
      const int length = kind < 90 ? 3 + skew(rng) % 30 : 3 + static_cast<int>(rng() % 254);
      int d;
      const int dk = pct(rng);
      if (dk < 40) {
        d = static_cast<int>(rng() % 8);
      } else if (dk < 80) {
        d = static_cast<int>(rng() % 300);
      } else {
        d = static_cast<int>(rng() % 8192);
      }
      items.push_back(Lh5Item::Match(length, d));
      produced += length;
    }
  }
  return items;
}

std::vector<uint8_t> RandomStream(std::mt19937& rng, int64_t& produced) {
  Lh5StreamBuilder b;
  const int blocks = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < blocks; ++i) {
    const size_t count = rng() % 3 == 0 ? 1 + rng() % 20 : 500 + rng() % 6000;
    b.AddBlock(RandomItems(rng, count, produced));
  }
  return b.Bytes();
}

void ExpectSameRun(const RunSetup& setup) {
  const RunRecord slow = RunRoutine(&LH5ExpandBytewise, setup);
  const RunRecord fast = RunRoutine(&LH5Expand, setup);
  ASSERT_TRUE(fast == slow) << "size " << setup.unpacked_size << " chunk " << setup.chunk << " key "
                            << setup.key << " cancel " << setup.cancel_at << " out "
                            << fast.out.size() << "/" << slow.out.size() << " err '" << fast.error
                            << "'/'" << slow.error << "' inpos " << fast.in_pos << "/"
                            << slow.in_pos << " log " << fast.log.size() << "/" << slow.log.size();
}

TEST(LH5ExpandFastLoop, MatchesByteAtATimeFlowOnRandomStreams) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE(round);
    int64_t produced = 0;
    RunSetup setup;
    setup.packed = RandomStream(rng, produced);
    setup.input_size = static_cast<int32_t>(setup.packed.size());
    // Exact size, a size that ends inside the last match, one that runs past the stream, and
    // one that ends anywhere.
    const int which = round % 4;
    setup.unpacked_size = static_cast<int32_t>(
        which == 0   ? produced
        : which == 1 ? std::max<int64_t>(1, produced - 2)
        : which == 2 ? produced + 70000
                     : 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(produced)));
    const int32_t chunks[] = {8192, 8192, 7, 9, 100, 4099, 8191};
    setup.chunk = chunks[round % 7];
    setup.key = round % 4 == 1 ? static_cast<int32_t>(rng()) : 0;
    if (setup.key != 0) setup.packed = Scramble(setup.packed, setup.key);
    setup.progress = round % 2 == 0;
    ExpectSameRun(setup);
    if (HasFatalFailure()) return;
  }
}

TEST(LH5ExpandFastLoop, MatchesByteAtATimeFlowWhenCancelledAtEveryFetch) {
  std::mt19937 rng(777);
  int64_t produced = 0;
  Lh5StreamBuilder b;
  for (int i = 0; i < 3; ++i) b.AddBlock(RandomItems(rng, 8000, produced));
  RunSetup setup;
  setup.packed = b.Bytes();
  setup.input_size = static_cast<int32_t>(setup.packed.size());
  setup.unpacked_size = static_cast<int32_t>(produced);
  setup.progress = true;
  const int fetches = static_cast<int>(setup.packed.size() / 8192) + 1;
  for (int cancel = 0; cancel <= fetches; ++cancel) {
    setup.cancel_at = cancel;
    for (int32_t key : {0, 0x01020304}) {
      setup.key = key;
      RunSetup keyed = setup;
      if (key != 0) keyed.packed = Scramble(setup.packed, key);
      ExpectSameRun(keyed);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(LH5ExpandFastLoop, MatchesByteAtATimeFlowOnTruncatedAndPaddedInput) {
  std::mt19937 rng(99);
  int64_t produced = 0;
  Lh5StreamBuilder b;
  b.AddBlock(RandomItems(rng, 20000, produced));
  const std::vector<uint8_t> full = b.Bytes();
  for (size_t cut : {size_t{0}, size_t{1}, size_t{8}, size_t{8191}, size_t{8192}, size_t{8193},
                     full.size() / 2, full.size() - 1}) {
    RunSetup setup;
    setup.packed.assign(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut));
    setup.input_size = static_cast<int32_t>(cut);
    setup.unpacked_size = static_cast<int32_t>(produced);
    ExpectSameRun(setup);
    if (HasFatalFailure()) return;
  }
  RunSetup padded;
  padded.packed = full;
  padded.packed.resize(full.size() + 30000, 0x5A);
  padded.input_size = static_cast<int32_t>(padded.packed.size());
  padded.unpacked_size = static_cast<int32_t>(produced);
  padded.progress = true;
  ExpectSameRun(padded);
}

// The items replayed by hand on a fresh window, independently of the decoder.
std::vector<uint8_t> Replay(const std::vector<Lh5Item>& items) {
  std::vector<uint8_t> window(8192, ' '), out;
  uint32_t pos = 0;
  for (const auto& it : items) {
    if (it.symbol < 256) {
      window[pos] = static_cast<uint8_t>(it.symbol);
      out.push_back(window[pos]);
      pos = (pos + 1) & 8191;
      continue;
    }
    uint32_t src = (pos - it.distance - 1) & 8191;
    for (int k = 0; k < it.symbol - 253; ++k) {
      window[pos] = window[src];
      out.push_back(window[pos]);
      pos = (pos + 1) & 8191;
      src = (src + 1) & 8191;
    }
  }
  return out;
}

TEST(LH5ExpandFastLoop, ProducesTheBuiltItems) {
  std::mt19937 rng(4242);
  int64_t produced = 0;
  std::vector<Lh5Item> items = RandomItems(rng, 30000, produced);
  Lh5StreamBuilder b;
  b.AddBlock(std::vector<Lh5Item>(items.begin(), items.begin() + 10000));
  b.AddBlock(std::vector<Lh5Item>(items.begin() + 10000, items.end()));
  const std::vector<uint8_t> expect = Replay(items);
  DriverResult r = ExpandViaDriver(b.Bytes(), static_cast<int32_t>(produced));
  EXPECT_EQ(r.out, expect);
  EXPECT_EQ(r.checksum, Sum(expect));
}

TEST(LH5ExpandFastLoop, LongestCodesWalkTheTreesInBothFlows) {
  // Main code: 17 symbols with lengths 1, 2, ..., 15, 16, 16 (a complete code); position code:
  // classes 13 down to 1 with lengths 1..13 and class 0 with 13. Every item then needs a tree
  // for codes past the lookup widths of 12 and 8 bits.
  const uint16_t main_symbols[17] = {'e', 't', 300, 'a', 256, 'o', 509, 'i', 'n',
                                     260, 's', 'h', 'r', 400, 'd', 'l', 257};
  Lh5StreamBuilder::Codes codes{std::vector<int>(510, 0), std::vector<int>(14, 0)};
  for (int i = 0; i < 17; ++i) codes.main[main_symbols[i]] = i < 16 ? i + 1 : 16;
  for (int j = 13; j >= 1; --j) codes.position[j] = 14 - j;
  codes.position[0] = 13;
  std::mt19937 rng(31337);
  std::vector<Lh5Item> items;
  int64_t produced = 0;
  for (int i = 0; i < 40000; ++i) {
    const uint16_t sym = main_symbols[rng() % 17];
    if (sym < 256) {
      items.push_back(Lh5Item::Literal(static_cast<uint8_t>(sym)));
      ++produced;
    } else {
      const int j = static_cast<int>(rng() % 14);
      const int d = j == 0 ? 0 : (1 << (j - 1)) + static_cast<int>(rng() % (1u << (j - 1)));
      items.push_back(Lh5Item::Match(sym - 253, d));
      produced += sym - 253;
    }
  }
  Lh5StreamBuilder b;
  b.AddBlock(items, codes);
  RunSetup setup;
  setup.packed = b.Bytes();
  setup.input_size = static_cast<int32_t>(setup.packed.size());
  setup.unpacked_size = static_cast<int32_t>(produced);
  EXPECT_EQ(RunRoutine(&LH5Expand, setup).out, Replay(items));
  ExpectSameRun(setup);
}

TEST(LH5ExpandFastLoop, MatchesByteAtATimeFlowOnRefusedStreams) {
  // A good block followed by a bad header: both flows refuse at the same point.
  std::mt19937 rng(5);
  int64_t produced = 0;
  Lh5StreamBuilder b;
  b.AddBlock(RandomItems(rng, 9000, produced));
  b.Sink().Put(16, 1);
  test::PutShortList(b.Sink(), {1, 1, 1, 1}, 5, 0);
  RunSetup setup;
  setup.packed = b.Bytes();
  setup.input_size = static_cast<int32_t>(setup.packed.size());
  setup.unpacked_size = static_cast<int32_t>(produced + 10);
  const RunRecord fast = RunRoutine(&LH5Expand, setup);
  EXPECT_EQ(fast.error, "Bad decode table in archive!");
  ExpectSameRun(setup);
}

}  // namespace
}  // namespace qobz
