// The byte and bit layer on a codec state prepared by hand: fetch sizes, the end of the input,
// progress and cancel, output buffering, the output limit, the two sums, the key stream, and the
// bit reader and writer vectors.
#include "codecs/byte_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/bit_stream.h"
#include "codecs/codec_state.h"
#include "codecs/codecs.h"
#include "codecs/run.h"
#include "qobz/errors.h"
#include "tests/support/recording_stream.h"

namespace qobz {
namespace {

using Bytes = std::vector<uint8_t>;
using test::RecordingStream;

Bytes Counting(size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

TCodecOptions Limited(int32_t out_limit) {
  TCodecOptions options;
  options.OutputLimit = out_limit;
  return options;
}

// A codec state wired for one run as the driver wires it, over recording streams.
struct Rig {
  explicit Rig(Bytes input, int32_t out_limit = 2147483647)
      : in(input), run(s, out, in, static_cast<int32_t>(input.size()), false, Limited(out_limit)) {}
  void Record() {
    handler = [this](int32_t& p) {
      if (cancel_at == static_cast<int>(progress.size())) p = -1;
      progress.push_back(p);
    };
    s.Progress = &handler;
  }
  void SetKey(uint32_t key) {
    for (int i = 0; i < 4; ++i) s.KeyBytes[i] = static_cast<uint8_t>(key >> (8 * i));
  }

  RecordingStream in, out;
  TCompThreadSafety s;
  TCodecRun run;
  TShowProgressEvent handler;
  std::vector<int32_t> progress;
  int cancel_at = -1;  // index of the progress call that answers -1
};

TEST(ReadByte, EmptyInputEndsWithoutReadingOrReporting) {
  Rig r({});
  r.Record();
  EXPECT_EQ(ReadByte(r.s), 0);
  EXPECT_TRUE(r.s.EndOfInput);
  EXPECT_TRUE(r.in.read_requests.empty());
  EXPECT_TRUE(r.progress.empty());
  EXPECT_EQ(r.s.InSum, 0u);
}

TEST(ReadByte, FetchesAtMost8192BytesAndNeverPastTheInputSize) {
  struct Case {
    size_t size;
    std::vector<int32_t> requests;
  } cases[] = {{1, {1}},          {8191, {8191}},        {8192, {8192}},
               {8193, {8192, 1}}, {16384, {8192, 8192}}, {20000, {8192, 8192, 3616}}};
  for (const Case& c : cases) {
    Bytes data = Counting(c.size);
    data.insert(data.end(), 100, 0xEE);  // the stream holds more than the run may read
    Rig r(data);
    r.s.InRemaining = static_cast<int32_t>(c.size);
    uint32_t sum = 0;
    for (size_t i = 0; i < c.size; ++i) {
      ASSERT_EQ(ReadByte(r.s), data[i]) << c.size << " at " << i;
      ASSERT_FALSE(r.s.EndOfInput);
      sum += data[i];
    }
    EXPECT_EQ(ReadByte(r.s), 0);
    EXPECT_TRUE(r.s.EndOfInput);
    EXPECT_EQ(ReadByte(r.s), 0);  // stays at the end without asking the stream again
    EXPECT_TRUE(r.s.EndOfInput);
    EXPECT_EQ(r.in.read_requests, c.requests) << c.size;
    EXPECT_EQ(r.in.Position(), static_cast<int64_t>(c.size));
    EXPECT_EQ(r.s.InSum, sum);
    EXPECT_EQ(r.s.InChunk, c.requests.back());
  }
}

TEST(ReadByte, SourceThatDeliversLessEndsTheInput) {
  Rig r(Counting(10));
  r.s.InRemaining = 50;  // the stream has only 10
  for (int i = 0; i < 10; ++i) ReadByte(r.s);
  EXPECT_FALSE(r.s.EndOfInput);
  EXPECT_EQ(ReadByte(r.s), 0);
  EXPECT_TRUE(r.s.EndOfInput);
  EXPECT_EQ(r.in.read_requests, (std::vector<int32_t>{50, 40}));
}

TEST(ReadByte, ProgressOncePerFetch) {
  Rig r(Counting(20000));
  r.Record();
  while (ReadByte(r.s), !r.s.EndOfInput) {
  }
  EXPECT_EQ(r.progress, (std::vector<int32_t>{40, 81, 100}));

  Rig big(Bytes(1000000, 1));
  big.Record();
  ReadByte(big.s);
  EXPECT_EQ(big.progress, std::vector<int32_t>{0});  // 8192 div (1000000 div 100)
  for (int i = 1; i < 8192 * 13; ++i) ReadByte(big.s);
  EXPECT_EQ(big.progress.back(), 10);  // 106496 div 10000
  EXPECT_EQ(big.s.InDone, 8192 * 13);
}

TEST(ReadByte, WithoutHandlerInDoneStaysZero) {
  Rig r(Counting(9000));
  while (ReadByte(r.s), !r.s.EndOfInput) {
  }
  EXPECT_EQ(r.s.InDone, 0);
}

TEST(PercentOf, SplitsAtOneHundredThousand) {
  EXPECT_EQ(PercentOf(8192, 20000), 40);
  EXPECT_EQ(PercentOf(16384, 20000), 81);
  EXPECT_EQ(PercentOf(99999, 100000), 99);  // (done * 100) div total
  EXPECT_EQ(PercentOf(100000, 100000), 100);
  EXPECT_EQ(PercentOf(100000, 100001), 100);  // done div (total div 100) = 100000 div 1000
  EXPECT_EQ(PercentOf(8192, 1000000), 0);
  EXPECT_EQ(PercentOf(2147483647, 2147483647), 100);
  EXPECT_EQ(PercentOf(1, 1), 100);
}

TEST(ReadByte, CancelEndsInputButLeavesTheFetchInTheBuffer) {
  Bytes data = Counting(20000);
  Rig r(data);
  r.Record();
  r.cancel_at = 1;  // the second fetch
  for (int i = 0; i < 8192; ++i) ASSERT_EQ(ReadByte(r.s), data[i]);
  uint32_t sum_before = r.s.InSum;
  EXPECT_EQ(ReadByte(r.s), 0);
  EXPECT_TRUE(r.s.EndOfInput);
  EXPECT_EQ(r.s.InSum, sum_before);
  // The cancelled fetch's bytes are still handed out, summed, with EndOfInput left set.
  EXPECT_EQ(ReadByte(r.s), data[8192]);
  EXPECT_TRUE(r.s.EndOfInput);
  EXPECT_EQ(r.s.InSum, sum_before + data[8192]);
  for (int i = 8193; i < 16384; ++i) ASSERT_EQ(ReadByte(r.s), data[i]);
  // The next fetch is not cancelled and clears the flag.
  EXPECT_EQ(ReadByte(r.s), data[16384]);
  EXPECT_FALSE(r.s.EndOfInput);
  EXPECT_EQ(r.progress, (std::vector<int32_t>{40, -1, 100}));
}

TEST(ReadByte, CancelAtTheFirstFetch) {
  Rig r(Counting(100));
  r.Record();
  r.cancel_at = 0;
  EXPECT_EQ(ReadByte(r.s), 0);
  EXPECT_TRUE(r.s.EndOfInput);
  EXPECT_EQ(r.in.read_requests, std::vector<int32_t>{100});
}

TEST(ReadByte, UnscramblesAfterSumming) {
  Bytes data = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
  Rig r(data);
  r.SetKey(0x04030201);
  r.s.UnscrambleInput = true;
  Bytes got;
  for (size_t i = 0; i < data.size(); ++i) got.push_back(ReadByte(r.s));
  EXPECT_EQ(got, (Bytes{0x11, 0x22, 0x33, 0x44, 0x51, 0x62}));
  EXPECT_EQ(r.s.InSum, 0x10u + 0x20 + 0x30 + 0x40 + 0x50 + 0x60);
  EXPECT_EQ(r.s.KeyIndex, 2);
}

TEST(WriteByte, FullBufferIsWrittenOnlyWhenTheNextByteArrives) {
  for (size_t n : {size_t{8191}, size_t{8192}, size_t{8193}, size_t{16384}, size_t{16385}}) {
    Rig r({});
    Bytes data = Counting(n);
    for (uint8_t b : data) WriteByte(r.s, b);
    std::vector<int32_t> during(n / 8192 - (n % 8192 == 0 ? 1 : 0), 8192);
    EXPECT_EQ(r.out.writes, during) << n;
    FlushOutput(r.s);
    std::vector<int32_t> all = during;
    all.push_back(static_cast<int32_t>(n - 8192 * during.size()));
    EXPECT_EQ(r.out.writes, all) << n;
    EXPECT_EQ(r.out.Data(), data);
    EXPECT_EQ(r.s.OutCount, static_cast<int32_t>(n));
    FlushOutput(r.s);  // an empty buffer writes nothing
    EXPECT_EQ(r.out.writes, all) << n;
  }
}

TEST(WriteByte, OutputLimit) {
  Rig r({}, 100);
  for (int i = 0; i < 100; ++i) WriteByte(r.s, static_cast<uint8_t>(i));
  EXPECT_EQ(r.s.OutLimit, 0);
  uint8_t* pos = r.s.OutPos;
  try {
    WriteByte(r.s, 0xAA);
    FAIL();
  } catch (const EUnableToCompress& e) {
    EXPECT_STREQ(e.what(), "Could not compress data, will store instead");
  }
  EXPECT_EQ(r.s.OutPos, pos);
  EXPECT_EQ(r.s.OutCount, 100);
  EXPECT_TRUE(r.out.writes.empty());
}

TEST(WriteByte, ScramblesFiveZerosWithKeyBytesInTurn) {
  Rig r({});
  r.SetKey(0xDDCCBBAA);
  r.s.ScrambleOutput = true;
  for (int i = 0; i < 5; ++i) WriteByte(r.s, 0);
  FlushOutput(r.s);
  EXPECT_EQ(r.out.Data(), (Bytes{0xAA, 0xBB, 0xCC, 0xDD, 0xAA}));
  EXPECT_EQ(r.s.OutSum, 0xAAu + 0xBB + 0xCC + 0xDD + 0xAA);  // summed as stored
}

TEST(WriteByte, FailedWriteTravelsOut) {
  Rig r({});
  r.out.fail_writes = true;
  for (int i = 0; i < 8192; ++i) WriteByte(r.s, 1);
  EXPECT_THROW(WriteByte(r.s, 1), EWriteError);
  Rig f({});
  f.out.fail_writes = true;
  WriteByte(f.s, 1);
  EXPECT_THROW(FlushOutput(f.s), EWriteError);
}

TEST(ScrambleByte, CyclesThroughTheFourKeyBytes) {
  TCompThreadSafety s;
  for (int i = 0; i < 4; ++i) s.KeyBytes[i] = static_cast<uint8_t>(1 << i);
  Bytes got;
  for (int i = 0; i < 9; ++i) got.push_back(ScrambleByte(s, 0xF0));
  EXPECT_EQ(got, (Bytes{0xF1, 0xF2, 0xF4, 0xF8, 0xF1, 0xF2, 0xF4, 0xF8, 0xF1}));
  EXPECT_EQ(s.KeyIndex, 1);
}

TEST(BitReader, ReadsMostSignificantBitFirstAndRefusesBitsPastTheEnd) {
  Rig r({0xA5, 0x0F});
  StartBitReader(r.s);
  ConsumeBits(r.s, 16);
  EXPECT_EQ(r.s.BitBuffer, 0xA50F);
  EXPECT_EQ(ReadBits(r.s, 3), 5);
  EXPECT_EQ(ReadBits(r.s, 5), 5);
  EXPECT_EQ(ReadBits(r.s, 4), 0);
  EXPECT_EQ(ReadBits(r.s, 4), 0xF);
  // Every bit of the data is consumed; the 16 bits of look-ahead past the end read as zero.
  EXPECT_EQ(r.s.BitBuffer, 0);
  EXPECT_EQ(ReadBits(r.s, 0), 0);
  // Once the end is seen the reader stops calling ReadByte: one read of 2 bytes, one that found
  // the end, and nothing after it.
  EXPECT_EQ(r.in.read_requests, std::vector<int32_t>{2});
  EXPECT_EQ(r.s.InSum, 0xA5u + 0x0F);
  // One bit more than the data hold: the stream is damaged.
  EXPECT_THROW(ReadBits(r.s, 1), EBadChecksum);
}

TEST(BitReader, SixteenBitReadsAcrossBytes) {
  Rig r({0x12, 0x34, 0x56, 0x78, 0x9A});
  StartBitReader(r.s);
  ConsumeBits(r.s, 16);
  EXPECT_EQ(ReadBits(r.s, 4), 0x1);
  EXPECT_EQ(ReadBits(r.s, 16), 0x2345);
  EXPECT_EQ(ReadBits(r.s, 12), 0x678);
  EXPECT_EQ(ReadBits(r.s, 1), 1);
  EXPECT_EQ(ReadBits(r.s, 7), 0x1A);
  EXPECT_EQ(r.s.BitBuffer, 0);
}

TEST(BitWriter, WritesMostSignificantBitFirst) {
  Rig r({});
  StartBitWriter(r.s);
  WriteBits(r.s, 3, 5);
  WriteBits(r.s, 5, 5);
  WriteBits(r.s, 4, 15);
  WriteBits(r.s, 7, 0);
  FlushOutput(r.s);
  EXPECT_EQ(r.out.Data(), (Bytes{0xA5, 0xF0}));
}

TEST(BitWriter, FinishingAnEmptyByteWritesNothing) {
  Rig r({});
  StartBitWriter(r.s);
  WriteBits(r.s, 8, 0x3C);
  EXPECT_EQ(r.s.OutCount, 1);  // handed over as soon as its eighth bit is placed
  WriteBits(r.s, 0, 0xFFFF);
  WriteBits(r.s, 7, 0);
  FlushOutput(r.s);
  EXPECT_EQ(r.out.Data(), Bytes{0x3C});
}

TEST(BitWriter, SixteenBitFieldsSpanThreeBytes) {
  Rig r({});
  StartBitWriter(r.s);
  WriteBits(r.s, 4, 0x9);
  WriteBits(r.s, 16, 0xBEEF);
  WriteCodeBits(r.s, 2, 0xC000);
  WriteBits(r.s, 7, 0);
  FlushOutput(r.s);
  // 1001 1011111011101111 11, completed with two zero bits; the five further zero bits start a
  // byte that is never completed.
  EXPECT_EQ(r.out.Data(), (Bytes{0x9B, 0xEE, 0xFC}));
}

TEST(BitWriter, BytesGoThroughWriteByte) {
  Rig r({}, 1);
  r.SetKey(0xFF);
  r.s.ScrambleOutput = true;
  StartBitWriter(r.s);
  WriteBits(r.s, 8, 0x0F);
  EXPECT_THROW(WriteBits(r.s, 8, 0x0F), EUnableToCompress);
  FlushOutput(r.s);
  EXPECT_EQ(r.out.Data(), Bytes{0xF0});
}

// The stored copy moves whole runs; every effect must be the byte-at-a-time copy's: bytes, stream
// calls, progress, sums, counts, key index, the output limit's exception, where the input stops.
TEST(CopyStored, RunsMatchTheByteAtATimeCopy) {
  struct Case {
    size_t size;
    int32_t chunk;  // largest read the source delivers
    int key_side;   // 0 none, 1 input unscrambled, 2 output scrambled
    int32_t limit;
    int cancel_at;
  };
  const Case cases[] = {
      {0, 8192, 0, 2147483647, -1},     {1, 8192, 1, 2147483647, -1},
      {20000, 8192, 0, 2147483647, -1}, {20000, 8192, 1, 2147483647, -1},
      {20000, 8192, 2, 2147483647, -1}, {20000, 777, 1, 2147483647, -1},
      {20000, 1, 2, 2147483647, -1},    {16384, 8192, 0, 16384, -1},
      {20000, 8192, 2, 8193, -1},       {20000, 100, 0, 9000, -1},
      {20000, 8192, 1, 2147483647, 1},  {20000, 333, 2, 2147483647, 3},
  };
  struct ShortReads : RecordingStream {
    ShortReads(Bytes data, int32_t chunk) : RecordingStream(std::move(data)), chunk(chunk) {}
    int32_t Read(void* buffer, int32_t count) override {
      return RecordingStream::Read(buffer, std::min(count, chunk));
    }
    int32_t chunk;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.size << " bytes, chunk " << c.chunk << ", key side " << c.key_side
                 << ", limit " << c.limit << ", cancel " << c.cancel_at);
    std::vector<std::string> logs[2];
    for (int way = 0; way < 2; ++way) {
      ShortReads in(Counting(c.size), c.chunk);
      RecordingStream out;
      TCompThreadSafety s;
      // Key side 1 unscrambles the input (an expanding run), 2 scrambles the output (packing).
      TCodecOptions options = Limited(c.limit);
      options.Key = c.key_side == 0 ? 0 : static_cast<int32_t>(0x9E3779B9u);
      options.Scrambled = true;
      TCodecRun run(s, out, in, static_cast<int32_t>(c.size), c.key_side == 1, options);
      std::string& log = logs[way].emplace_back();
      int calls = 0;
      const TShowProgressEvent handler = [&](int32_t& p) {
        log += " P" + std::to_string(p) + "@" + std::to_string(s.OutCount);
        if (calls++ == c.cancel_at) p = -1;
      };
      s.Progress = &handler;
      try {
        way == 0 ? CopyStoredBytewise(s) : CopyStored(s);
        FlushOutput(s);
      } catch (const EUnableToCompress&) {
        log += " limit";
      }
      for (int32_t n : in.read_requests) log += " R" + std::to_string(n);
      for (int32_t n : out.writes) log += " W" + std::to_string(n);
      logs[way].push_back(std::string(out.Data().begin(), out.Data().end()));
      for (int64_t v : {int64_t{s.InSum}, int64_t{s.OutSum}, int64_t{s.OutCount},
                        int64_t{s.OutLimit}, int64_t{s.KeyIndex}, int64_t{s.EndOfInput},
                        int64_t{s.InPos - s.InputBuffer}, int64_t{s.InEnd - s.InputBuffer},
                        int64_t{s.OutPos - s.OutputBuffer}, int64_t{s.InRemaining}}) {
        logs[way].push_back(std::to_string(v));
      }
    }
    EXPECT_EQ(logs[1], logs[0]);
  }
}

}  // namespace
}  // namespace qobz
