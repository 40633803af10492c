// The codec driver RunCodec with the stored method: what it reads and writes, the checksum, the
// result, progress and cancel, the key stream per run, methods without a routine, and what an
// exception leaves behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codecs/codec_state.h"
#include "qobz/compress.h"
#include "tests/support/recording_stream.h"

namespace qobz {
namespace {

using Bytes = std::vector<uint8_t>;
using test::RecordingStream;

Bytes Counting(size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + 5);
  return v;
}
uint32_t Sum(const Bytes& v, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i < n; ++i) s += v[i];
  return s;
}

struct Driven {
  explicit Driven(Bytes input) : src(std::move(input)) {}
  int32_t Run(int32_t input_size, uint8_t method, bool expanding, bool scrambled = false,
              int32_t unpacked_size = 0) {
    return c.RunCodec(dst, src, input_size, unpacked_size, method, checksum, expanding, scrambled);
  }
  void Record(int cancel_at = -1) {
    c.OnShowProgress = [this, cancel_at](int32_t& p) {
      if (cancel_at == static_cast<int>(progress.size())) p = -1;
      progress.push_back(p);
    };
  }

  TCompress c;
  RecordingStream src, dst;
  uint32_t checksum = 0xC0FFEE;
  std::vector<int32_t> progress;
};

TEST(RunCodec, EmptyInputStored) {
  for (bool expanding : {false, true}) {
    Driven d(Counting(10));
    d.Record();
    EXPECT_EQ(d.Run(0, kMethodStored, expanding), 0);
    EXPECT_EQ(d.checksum, 0u);
    EXPECT_TRUE(d.dst.writes.empty());
    EXPECT_TRUE(d.src.read_requests.empty());
    EXPECT_EQ(d.progress, (std::vector<int32_t>{0, 100}));
  }
}

TEST(RunCodec, StoredCopyInBothDirectionsWithExactWrites) {
  struct Case {
    size_t size;
    std::vector<int32_t> writes;
  } cases[] = {
      {1, {1}}, {8191, {8191}}, {8192, {8192}}, {8193, {8192, 1}}, {20000, {8192, 8192, 3616}}};
  for (const Case& c : cases) {
    for (bool expanding : {false, true}) {
      Bytes data = Counting(c.size + 7);  // bytes past InputSize belong to the next entry
      Driven d(data);
      int32_t result = d.Run(static_cast<int32_t>(c.size), kMethodStored, expanding);
      EXPECT_EQ(result, static_cast<int32_t>(c.size)) << c.size;
      EXPECT_EQ(d.dst.writes, c.writes) << c.size;
      EXPECT_EQ(d.dst.Data(), Bytes(data.begin(), data.begin() + c.size));
      EXPECT_EQ(d.checksum, Sum(data, c.size));
      EXPECT_EQ(d.src.Position(), static_cast<int64_t>(c.size));
    }
  }
}

TEST(RunCodec, CompressingStoredNeverHitsTheLimit) {
  Driven d(Counting(30000));
  EXPECT_EQ(d.Run(30000, kMethodStored, false), 30000);
  EXPECT_EQ(d.c.CodecState().OutLimit, 0);  // exactly used up
}

TEST(RunCodec, MethodsWithoutRoutineRunNothing) {
  for (int method : {3, 5, 6, 127, 255}) {
    for (bool expanding : {false, true}) {
      Driven d(Counting(100));
      d.Record();
      EXPECT_EQ(d.Run(100, static_cast<uint8_t>(method), expanding), 0) << method;
      EXPECT_EQ(d.checksum, 0u) << method;
      EXPECT_TRUE(d.dst.writes.empty()) << method;
      EXPECT_TRUE(d.src.read_requests.empty()) << method;
      EXPECT_EQ(d.progress, (std::vector<int32_t>{0, 100})) << method;
    }
  }
}

TEST(RunCodec, ProgressAcrossFetches) {
  Driven d(Counting(20000));
  d.Record();
  d.Run(20000, kMethodStored, true);
  EXPECT_EQ(d.progress, (std::vector<int32_t>{0, 40, 81, 100, 100}));

  Driven big(Bytes(1000000, 1));
  big.Record();
  big.Run(1000000, kMethodStored, true);
  ASSERT_GE(big.progress.size(), 3u);
  EXPECT_EQ(big.progress[1], 0);
  EXPECT_EQ(big.progress.size(), 2u + 123);  // 122 full fetches and one of 576 bytes
  EXPECT_EQ(big.progress[big.progress.size() - 2], 100);
}

TEST(RunCodec, CancelAtTheStart) {
  for (bool expanding : {false, true}) {
    Driven d(Counting(100));
    d.Record(0);
    d.c.CodecState().InSum = 12345;  // left from an earlier run: not touched
    EXPECT_EQ(d.Run(100, kMethodStored, expanding), 0);
    EXPECT_EQ(d.checksum, 0xC0FFEEu);  // the caller's variable keeps its value
    EXPECT_TRUE(d.src.read_requests.empty());
    EXPECT_TRUE(d.dst.writes.empty());
    EXPECT_EQ(d.progress, std::vector<int32_t>{-1});  // no closing call
    EXPECT_EQ(d.c.CodecState().InSum, 12345u);
    EXPECT_EQ(d.c.CodecState().InputBuffer, nullptr);
  }
}

TEST(RunCodec, CancelAtAFetchEndsTheStoredCopy) {
  Bytes data = Counting(20000);
  Driven d(data);
  d.Record(2);  // 0, then the first fetch, then the second
  int32_t result = d.Run(20000, kMethodStored, false);
  EXPECT_EQ(result, 8192);
  EXPECT_EQ(d.dst.Data(), Bytes(data.begin(), data.begin() + 8192));
  EXPECT_EQ(d.checksum, Sum(data, 8192));
  EXPECT_EQ(d.progress, (std::vector<int32_t>{0, 40, -1, 100}));
  // The cancelled fetch was read from the source all the same.
  EXPECT_EQ(d.src.Position(), 16384);
}

TEST(RunCodec, KeyStreamRestartsEveryRun) {
  const int32_t key = 0x44332211;
  Bytes zeros(6, 0);
  for (int run = 0; run < 2; ++run) {
    // Compressing scrambles the packed (output) side.
    Driven enc(zeros);
    enc.c.Key = key;
    enc.Run(6, kMethodStored, false);
    EXPECT_EQ(enc.dst.Data(), (Bytes{0x11, 0x22, 0x33, 0x44, 0x11, 0x22}));
    EXPECT_EQ(enc.checksum, 0u);  // the sum of the plain bytes
  }
  TCompress shared;
  shared.Key = key;
  for (int run = 0; run < 2; ++run) {
    // Expanding with Scrambled unscrambles the packed (input) side; the checksum is the plain sum.
    RecordingStream src(Bytes{0x11, 0x22, 0x33, 0x44, 0x11, 0x62}), dst;
    uint32_t checksum = 1;
    shared.RunCodec(dst, src, 6, 0, kMethodStored, checksum, true, true);
    EXPECT_EQ(dst.Data(), (Bytes{0, 0, 0, 0, 0, 0x40}));
    EXPECT_EQ(checksum, 0x40u);
  }
}

TEST(RunCodec, KeyActsOnlyWhereItShould) {
  Bytes abc = {'a', 'b', 'c'};
  // Expanding an entry that is not scrambled, with a key: copied as it is.
  Driven plain(abc);
  plain.c.Key = 0x01010101;
  plain.Run(3, kMethodStored, true, /*scrambled=*/false);
  EXPECT_EQ(plain.dst.Data(), abc);
  EXPECT_EQ(plain.checksum, 294u);
  // Key 0 never scrambles, whatever the flag.
  Driven zero(abc);
  zero.Run(3, kMethodStored, true, /*scrambled=*/true);
  EXPECT_EQ(zero.dst.Data(), abc);
  Driven zero_enc(abc);
  zero_enc.Run(3, kMethodStored, false);
  EXPECT_EQ(zero_enc.dst.Data(), abc);
  EXPECT_EQ(zero_enc.checksum, 294u);
  // The key bytes are set for every run, even when neither side is scrambled.
  EXPECT_EQ(zero_enc.c.CodecState().KeyBytes[0], 0);
  EXPECT_EQ(plain.c.CodecState().KeyBytes[3], 1);
}

TEST(RunCodec, ChecksumOfAbcIsTheSameForEveryMethodAndKey) {
  Bytes abc = {'a', 'b', 'c'};
  for (int32_t key : {0, 7, -1}) {
    for (uint8_t method : {kMethodStored, kMethodRle}) {
      Driven enc(abc);
      enc.c.Key = key;
      enc.Run(3, method, false);
      EXPECT_EQ(enc.checksum, 294u);
      Driven dec(enc.dst.Data());
      dec.c.Key = key;
      dec.Run(static_cast<int32_t>(enc.dst.Data().size()), method, true, key != 0);
      EXPECT_EQ(dec.dst.Data(), abc);
      EXPECT_EQ(dec.checksum, 294u) << key << " " << int(method);
    }
  }
}

TEST(RunCodec, ExceptionLeavesChecksumAndBuffersAlone) {
  // The routine raises: no flush, no checksum, no closing progress, buffers released.
  Driven d(Bytes(100, 0x94));
  d.Record();
  EXPECT_THROW(d.Run(100, kMethodRle, false), EUnableToCompress);
  EXPECT_EQ(d.checksum, 0xC0FFEEu);
  EXPECT_TRUE(d.dst.writes.empty());
  EXPECT_EQ(d.progress, (std::vector<int32_t>{0, 100}));  // 0 at the start, 100 from the fetch
  EXPECT_EQ(d.c.CodecState().InputBuffer, nullptr);
  EXPECT_EQ(d.c.CodecState().OutputBuffer, nullptr);

  // The final flush fails.
  Driven f(Counting(10));
  f.Record();
  f.dst.fail_writes = true;
  EXPECT_THROW(f.Run(10, kMethodStored, true), EWriteError);
  EXPECT_EQ(f.checksum, 0xC0FFEEu);
  EXPECT_EQ(f.progress, (std::vector<int32_t>{0, 100}));

  // The component runs again afterwards.
  RecordingStream src(Counting(10)), dst;
  EXPECT_EQ(f.c.RunCodec(dst, src, 10, 0, kMethodStored, f.checksum, true, false), 10);
  EXPECT_EQ(dst.Data(), Counting(10));
}

TEST(RunCodec, StateIsResetForEveryRun) {
  TCompress c;
  RecordingStream a(Counting(9000)), out_a;
  uint32_t sum = 0;
  c.RunCodec(out_a, a, 9000, 0, kMethodStored, sum, true, false);
  // A second run on the same component starts from clean counters and sums.
  RecordingStream b(Bytes{1, 2, 3}), out_b;
  EXPECT_EQ(c.RunCodec(out_b, b, 3, 0, kMethodStored, sum, false, false), 3);
  EXPECT_EQ(sum, 6u);
  EXPECT_EQ(out_b.Data(), (Bytes{1, 2, 3}));
  const TCompThreadSafety& s = c.CodecState();
  EXPECT_EQ(s.InChunk, 3);
  EXPECT_EQ(s.InSum, 6u);
  EXPECT_EQ(s.OutCount, 3);
  EXPECT_EQ(s.OutSum, 6u);
}

}  // namespace
}  // namespace qobz
