// The run-length coder through the codec driver: golden streams, the output limit, round trips,
// and the equality of the buffered fast path with the byte-at-a-time path. A non-zero key forces
// the byte path (the key stream makes every byte's order matter), so running the same data with
// and without a key and unscrambling the keyed packed bytes compares the two paths directly.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codecs/codec_state.h"
#include "codecs/codecs.h"
#include "qobz/compress.h"
#include "tests/support/corpus.h"
#include "tests/support/recording_stream.h"

namespace qobz {
namespace {

using Bytes = std::vector<uint8_t>;
using test::RecordingStream;

constexpr int32_t kTestKey = 0x5A3C9F17;

Bytes Repeat(uint8_t b, size_t n) {
  return Bytes(n, b);
}
Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
uint32_t Sum(const Bytes& v) {
  uint32_t s = 0;
  for (uint8_t b : v) s += b;
  return s;
}
// XOR with the key bytes in turn, least significant first: scrambles and unscrambles alike.
Bytes KeyXor(Bytes v, int32_t key) {
  for (size_t i = 0; i < v.size(); ++i)
    v[i] ^= static_cast<uint8_t>(static_cast<uint32_t>(key) >> (8 * (i % 4)));
  return v;
}

struct Outcome {
  Bytes out;
  uint32_t checksum = 0xDEADBEEF;
  int32_t result = 0;
  std::vector<int32_t> reads, writes, progress;
};

Outcome RunRle(const Bytes& in, bool expanding, int32_t key = 0,
               std::function<void(int32_t&)> progress = nullptr) {
  TCompress c;
  c.Key = key;
  Outcome r;
  if (progress) {
    c.OnShowProgress = [&](int32_t& p) {
      progress(p);
      r.progress.push_back(p);  // as the handler left it
    };
  }
  RecordingStream src(in), dst;
  r.result = c.RunCodec(dst, src, static_cast<int32_t>(in.size()), 0, kMethodRle, r.checksum,
                        expanding, /*Scrambled=*/key != 0);
  r.out = dst.Data();
  r.reads = src.read_requests;
  r.writes = dst.writes;
  return r;
}
// Through the driver without an output limit, for the forms that grow (RunCodec would stop them
// with EUnableToCompress).
Bytes CompressUnlimited(const Bytes& in) {
  TCompress c;
  RecordingStream src(in), dst;
  uint32_t checksum = 0;
  c.EncodeStream(dst, src, static_cast<int32_t>(in.size()), kMethodRle, checksum);
  return dst.Data();
}
Bytes Compress(const Bytes& in) {
  return RunRle(in, false).out;
}
Bytes Expand(const Bytes& in) {
  return RunRle(in, true).out;
}

struct Golden {
  const char* name;
  Bytes plain;
  Bytes packed;
};

std::vector<Golden> GoldenCases() {
  const uint8_t A = 0x41, E = 0x94;
  return {
      {"empty", {}, {}},
      {"two equal", {A, A}, {A, A}},
      {"three equal", {A, A, A}, {A, E, 0x03}},
      {"two equal then other", {A, A, 0x42}, {A, A, 0x42}},
      {"256 equal", Repeat(A, 256), {A, E, 0xFF, A}},
      {"257 equal", Repeat(A, 257), {A, E, 0xFF, A, A}},
      {"258 equal", Repeat(A, 258), {A, E, 0xFF, A, E, 0x03}},
      {"escape", {E}, {E, 0x00}},
      {"two escapes", {E, E}, {E, 0x00, E, 0x00}},
      {"run then escape", {A, A, A, E}, {A, E, 0x03, E, 0x00}},
      {"two zeros", {0, 0}, {0, 0}},
      {"three zeros", {0, 0, 0}, {0, E, 0x03}},
      {"255 equal", Repeat(A, 255), {A, E, 0xFF}},
      {"510 equal", Repeat(A, 510), {A, E, 0xFF, A, E, 0xFF}},
      {"511 equal", Repeat(A, 511), {A, E, 0xFF, A, E, 0xFF, A}},
      {"run of escapes", Repeat(E, 3), {E, 0, E, 0, E, 0}},
      {"run ended by escape", {A, A, A, A, E, A}, {A, E, 0x04, E, 0x00, A}},
      {"run then run", {A, A, A, 0x42, 0x42, 0x42}, {A, E, 0x03, 0x42, E, 0x03}},
      {"pair after run", {A, A, A, 0x42, 0x42}, {A, E, 0x03, 0x42, 0x42}},
  };
}

TEST(RleGolden, CompressesToExactBytes) {
  for (const Golden& g : GoldenCases()) {
    EXPECT_EQ(CompressUnlimited(g.plain), g.packed) << g.name;
    if (g.packed.size() > g.plain.size()) {
      EXPECT_THROW(RunRle(g.plain, false), EUnableToCompress) << g.name;
      continue;
    }
    Outcome r = RunRle(g.plain, false);
    EXPECT_EQ(r.out, g.packed) << g.name;
    EXPECT_EQ(r.result, static_cast<int32_t>(g.packed.size())) << g.name;
    EXPECT_EQ(r.checksum, Sum(g.plain)) << g.name;
  }
}

TEST(RleGolden, ExpandsToExactBytes) {
  for (const Golden& g : GoldenCases()) {
    Outcome r = RunRle(g.packed, true);
    EXPECT_EQ(r.out, g.plain) << g.name;
    EXPECT_EQ(r.checksum, Sum(g.plain)) << g.name;
  }
}

TEST(RleGolden, ExpandsForeignAndDamagedForms) {
  const uint8_t A = 0x41, E = 0x94;
  struct Case {
    const char* name;
    Bytes packed, plain;
  } cases[] = {
      {"escape at the very end", {A, E}, {A, E}},
      {"count 2", {A, E, 0x02}, {A, A}},
      {"count 1", {A, E, 0x01}, {A}},
      {"count at the start repeats 0", {E, 0x05}, {0, 0, 0, 0}},
      {"count after an escaped escape repeats it", {E, 0x00, E, 0x03}, {E, E, E}},
      {"count after a count repeats the escape", {A, E, 0x03, E, 0x03}, {A, A, A, E, E}},
      {"lone escape", {E}, {E}},
  };
  for (const Case& c : cases) EXPECT_EQ(Expand(c.packed), c.plain) << c.name;
}

TEST(RleGolden, RunsOfEveryLength) {
  // Each run length from 1 to 600 between two other bytes: the literal, then 0x94 n for every
  // cut of 3..255 bytes, a second literal for a cut of 2.
  for (size_t k = 1; k <= 600; ++k) {
    Bytes plain = Concat({{0x10}, Repeat(0x41, k), {0x11}});
    Bytes want = {0x10};
    for (size_t left = k; left > 0;) {
      size_t cut = std::min<size_t>(left, 255);
      want.push_back(0x41);
      if (cut == 2) want.push_back(0x41);
      if (cut >= 3) want.insert(want.end(), {0x94, static_cast<uint8_t>(cut)});
      left -= cut;
    }
    want.push_back(0x11);
    ASSERT_EQ(CompressUnlimited(plain), want) << k;
    ASSERT_EQ(Expand(want), plain) << k;
  }
}

TEST(RleLimit, RaisesWhenOutputWouldPassInput) {
  Bytes distinct;
  for (int i = 0; i < 99; ++i) distinct.push_back(static_cast<uint8_t>(i));
  // 100 bytes that pack into 101: the 101st WriteByte raises, nothing reaches the stream.
  Bytes grows = Concat({{0x94}, distinct});
  TCompress c;
  RecordingStream src(grows), dst;
  uint32_t checksum = 77;
  EXPECT_THROW(c.RunCodec(dst, src, 100, 0, kMethodRle, checksum, false, false), EUnableToCompress);
  EXPECT_EQ(checksum, 77u);
  EXPECT_TRUE(dst.writes.empty());

  // 100 bytes that pack into exactly 100 are accepted.
  Bytes fits = Concat({{0x94}, Repeat(0x41, 4), Bytes(distinct.begin(), distinct.begin() + 95)});
  ASSERT_EQ(fits.size(), 100u);
  Outcome r = RunRle(fits, false);
  EXPECT_EQ(r.result, 100);
  EXPECT_EQ(Expand(r.out), fits);

  EXPECT_THROW(RunRle({0x94}, false), EUnableToCompress);
  EXPECT_THROW(RunRle({0x41, 0x94}, false), EUnableToCompress);
}

TEST(RleLimit, RaisesAfterFullBuffersWereWritten) {
  // 10000 escapes double to 20000 bytes: the limit of 10000 is reached inside the second output
  // buffer, so exactly one full buffer has reached the stream when the exception leaves.
  for (int32_t key : {0, kTestKey}) {
    TCompress c;
    c.Key = key;
    RecordingStream src(Repeat(0x94, 10000)), dst;
    uint32_t checksum = 5;
    EXPECT_THROW(c.RunCodec(dst, src, 10000, 0, kMethodRle, checksum, false, false),
                 EUnableToCompress);
    EXPECT_EQ(dst.writes, std::vector<int32_t>{8192}) << key;
    EXPECT_EQ(checksum, 5u);
    EXPECT_EQ(c.CodecState().OutCount, 10000) << key;
    EXPECT_EQ(c.CodecState().OutLimit, 0) << key;
  }
}

TEST(RleRoundTrip, Corpus) {
  for (const test::Sample& s : test::Corpus(true)) {
    Outcome packed;
    try {
      packed = RunRle(s.data, false);
    } catch (const EUnableToCompress&) {
      // Only data without enough runs to pay for its escapes may grow.
      size_t escapes = 0;
      for (uint8_t b : s.data) escapes += b == 0x94;
      EXPECT_GT(escapes, 0u) << s.name;
      continue;
    }
    EXPECT_LE(packed.out.size(), s.data.size()) << s.name;
    EXPECT_EQ(packed.checksum, Sum(s.data)) << s.name;
    Outcome plain = RunRle(packed.out, true);
    ASSERT_EQ(plain.out, s.data) << s.name;
    EXPECT_EQ(plain.checksum, Sum(s.data)) << s.name;
  }
}

// The same run with and without a key: identical packed bytes once unscrambled, identical stream
// calls and progress values, identical checksums and results.
void ExpectPathsAgree(
    const Bytes& plain, const std::string& name,
    std::function<void(int32_t&)> progress = [](int32_t&) {}) {
  Outcome fast, slow;
  bool fast_threw = false, slow_threw = false;
  try {
    fast = RunRle(plain, false, 0, progress);
  } catch (const EUnableToCompress&) {
    fast_threw = true;
  }
  try {
    slow = RunRle(plain, false, kTestKey, progress);
  } catch (const EUnableToCompress&) {
    slow_threw = true;
  }
  ASSERT_EQ(fast_threw, slow_threw) << name;
  if (fast_threw) return;
  EXPECT_EQ(fast.out, KeyXor(slow.out, kTestKey)) << name;
  EXPECT_EQ(fast.checksum, slow.checksum) << name;
  EXPECT_EQ(fast.result, slow.result) << name;
  EXPECT_EQ(fast.reads, slow.reads) << name;
  EXPECT_EQ(fast.writes, slow.writes) << name;
  EXPECT_EQ(fast.progress, slow.progress) << name;

  Outcome fast_x = RunRle(fast.out, true, 0, progress);
  Outcome slow_x = RunRle(slow.out, true, kTestKey, progress);
  EXPECT_EQ(fast_x.out, slow_x.out) << name;
  EXPECT_EQ(fast_x.checksum, slow_x.checksum) << name;
  EXPECT_EQ(fast_x.reads, slow_x.reads) << name;
  EXPECT_EQ(fast_x.writes, slow_x.writes) << name;
  EXPECT_EQ(fast_x.progress, slow_x.progress) << name;
}

TEST(RleFastPath, AgreesWithBytePathOnCorpus) {
  for (const test::Sample& s : test::Corpus(false)) ExpectPathsAgree(s.data, s.name);
}

TEST(RleFastPath, AgreesAcrossBufferEdges) {
  // Runs and escapes placed so that they straddle the 8192-byte fetch boundary, and packed
  // streams whose escape and count land in different fetches.
  for (size_t start = 8192 - 260; start <= 8192 + 2; start += 1) {
    Bytes plain = test::MakeData(test::Kind::Text, 9000);
    for (size_t i = start; i < start + 258 && i < plain.size(); ++i) plain[i] = 0x41;
    ExpectPathsAgree(plain, "run at " + std::to_string(start));
  }
  for (size_t at = 8185; at <= 8194; ++at) {
    Bytes plain = test::MakeData(test::Kind::Runs, 20000);
    plain[at] = 0x94;
    ExpectPathsAgree(plain, "escape at " + std::to_string(at));
  }
}

TEST(RleFastPath, AgreesOnShortRunsOfFewSymbols) {
  // Singles, pairs, triples and escapes packed tightly: every way a literal stretch can end.
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    test::Rng rng(seed);
    Bytes plain;
    const uint8_t symbols[] = {0x41, 0x42, 0x94, 0x00};
    while (plain.size() < 30000)
      plain.insert(plain.end(), 1 + rng.Below(4), symbols[rng.Below(seed % 3 + 2)]);
    ExpectPathsAgree(plain, "seed " + std::to_string(seed));
    // Without the output limit too, since escapes may make these grow.
    Bytes packed[2];
    for (int keyed = 0; keyed < 2; ++keyed) {
      TCompress c;
      c.Key = keyed ? kTestKey : 0;
      RecordingStream src(plain), dst;
      uint32_t sum = 0;
      c.EncodeStream(dst, src, static_cast<int32_t>(plain.size()), kMethodRle, sum);
      EXPECT_EQ(sum, Sum(plain));
      packed[keyed] = keyed ? KeyXor(dst.Data(), kTestKey) : dst.Data();
    }
    ASSERT_EQ(packed[0], packed[1]) << seed;
    ASSERT_EQ(Expand(packed[0]), plain) << seed;
  }
}

TEST(RleFastPath, ExpandsEscapeSplitByFetch) {
  // The escape is the last byte of the first fetch; its count arrives with the second.
  Bytes packed = test::MakeData(test::Kind::Text, 8191);
  packed.insert(packed.end(), {0x94, 0x05, 0x42});
  Bytes want(packed.begin(), packed.begin() + 8191);
  want.insert(want.end(), 4, packed[8190]);
  want.push_back(0x42);
  Outcome r = RunRle(packed, true);
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.reads, (std::vector<int32_t>{8192, 2}));
  EXPECT_EQ(r.writes, (std::vector<int32_t>{8192, static_cast<int32_t>(want.size()) - 8192}));
}

TEST(RleCancel, CompressorWritesPendingRunAndStops) {
  // Cancelled at the second fetch: the first 8192 bytes end in a run that is still written.
  Bytes plain =
      Concat({test::MakeData(test::Kind::Text, 8000), Repeat(0x41, 192), Repeat(0x41, 5000)});
  auto cancel_second = [n = 0](int32_t& p) mutable {
    if (++n == 3) p = -1;  // 0 before the run, then once per fetch
  };
  Outcome r = RunRle(plain, false, 0, cancel_second);
  Bytes head(plain.begin(), plain.begin() + 8192);
  Bytes want = Compress(head);
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.checksum, Sum(head));
  EXPECT_EQ(r.progress, (std::vector<int32_t>{0, 62, -1, 100}));
  ExpectPathsAgree(plain, "cancel", cancel_second);
}

TEST(RleCancel, ExpanderFinishesEscapeWhoseCountFetchWasCancelled) {
  // The count fetch is cancelled: the count reads as 0, so the escape stands for itself, and the
  // cancelled fetch's bytes are not expanded.
  Bytes packed = test::MakeData(test::Kind::Text, 8191);
  packed.insert(packed.end(), {0x94, 0x05, 0x42});
  auto cancel_second = [n = 0](int32_t& p) mutable {
    if (++n == 3) p = -1;
  };
  Outcome r = RunRle(packed, true, 0, cancel_second);
  Bytes want(packed.begin(), packed.begin() + 8192);
  EXPECT_EQ(r.out, want);
  Outcome keyed = RunRle(KeyXor(packed, kTestKey), true, kTestKey, cancel_second);
  EXPECT_EQ(keyed.out, want);
}

TEST(RleKey, CompressedBytesAreScrambledAndChecksumIsPlain) {
  Bytes plain = {0x41, 0x41, 0x41, 0x41, 0x94, 0x00, 0x00, 0x00, 0x00};
  Outcome r = RunRle(plain, false, kTestKey);
  EXPECT_EQ(KeyXor(r.out, kTestKey), (Bytes{0x41, 0x94, 0x04, 0x94, 0x00, 0x00, 0x94, 0x04}));
  EXPECT_EQ(r.checksum, Sum(plain));
  Outcome back = RunRle(r.out, true, kTestKey);
  EXPECT_EQ(back.out, plain);
  EXPECT_EQ(back.checksum, Sum(plain));
}

}  // namespace
}  // namespace qobz
