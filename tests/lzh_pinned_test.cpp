// LZH: everything either direction shows to the outside, pinned by hashes recorded from the plain
// reference loops, so that faster loops cannot change a byte of it. For every corpus sample: the
// packed stream, and for runs through the driver the interleaving of stream reads, buffer writes
// and progress calls, the bytes written, the checksum, the stream position left behind and the
// output limit's exception. Only the large samples (3 MiB of each kind), in optimised builds
// without sanitizers; the small samples at buffer and ring boundaries are pinned as files
// (encoder_golden_test.cpp).
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "qobz/compress.h"
#include "qobz/errors.h"
#include "support/corpus.h"
#include "support/lzh_support.h"
#include "support/recording_stream.h"

#if defined(__SANITIZE_ADDRESS__)
#define QOBZ_LZH_PIN_LARGE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOBZ_LZH_PIN_LARGE 0
#endif
#endif
#if !defined(QOBZ_LZH_PIN_LARGE) && defined(NDEBUG)
#define QOBZ_LZH_PIN_LARGE 1
#endif
#ifndef QOBZ_LZH_PIN_LARGE
#define QOBZ_LZH_PIN_LARGE 0
#endif

namespace qobz {
namespace {

using Bytes = std::vector<uint8_t>;

// FNV-1a, 64 bits.
class Hash {
 public:
  void Add(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h_ = (h_ ^ p[i]) * 0x100000001B3ull;
  }
  void Add(const Bytes& v) { Add(v.data(), v.size()); }
  void Add(int64_t x) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(x) >> (8 * i));
    Add(b, 8);
  }
  uint64_t Value() const { return h_; }

 private:
  uint64_t h_ = 0xCBF29CE484222325ull;
};

// One run through the driver with both streams and the progress handler recording into one
// hash in the order the calls happen. cancel_at > 0 cancels that progress call.
uint64_t DriverRun(const Bytes& input, int32_t unpacked, bool expanding, int32_t key, int cancel_at,
                   const Bytes* expect) {
  TCompress c;
  c.Key = key;
  Hash h;
  int calls = 0;
  c.OnShowProgress = [&](int32_t& percent) {
    h.Add(int64_t{'P'});
    h.Add(percent);
    // How far the output had got when the input was fetched: pins the symbol at which the
    // reader takes each buffer.
    h.Add(c.CodecState().OutCount);
    if (++calls == cancel_at) percent = -1;
  };
  test::RecordingStream src(input), dst;
  src.before_read = [&](int32_t count) {
    h.Add(int64_t{'R'});
    h.Add(count);
  };
  uint32_t sum = 0;
  int32_t out = -1;
  try {
    out = c.RunCodec(dst, src, static_cast<int32_t>(input.size()), unpacked, kMethodLzh, sum,
                     expanding, expanding && key != 0);
  } catch (const EUnableToCompress&) {
    h.Add(int64_t{'U'});
  } catch (const EBadChecksum&) {
    h.Add(int64_t{'B'});
  }
  for (int32_t w : dst.writes) h.Add(w);
  h.Add(out);
  h.Add(sum);
  h.Add(src.Position());
  h.Add(dst.Data());
  if (expect && cancel_at <= 0 && key == 0) {
    EXPECT_EQ(dst.Data(), *expect);
  }
  return h.Value();
}

struct Pinned {
  uint64_t packed;  // the raw stream
  uint64_t encode;  // driver runs packing: plain, keyed, cancelled
  uint64_t decode;  // driver runs unpacking: plain, keyed, cancelled
};

Pinned Measure(const Bytes& plain) {
  Pinned p{};
  const Bytes packed = test::LzhRawCompress(plain);
  Hash hp;
  hp.Add(packed);
  p.packed = hp.Value();

  const int32_t n = static_cast<int32_t>(plain.size());
  Hash he;
  he.Add(static_cast<int64_t>(DriverRun(plain, n, false, 0, 0, nullptr)));
  he.Add(static_cast<int64_t>(DriverRun(plain, n, false, 0x2468ACE1, 0, nullptr)));
  he.Add(static_cast<int64_t>(DriverRun(plain, n, false, 0, 3, nullptr)));
  p.encode = he.Value();

  Bytes scrambled = packed;
  const uint32_t key = 0x13579BDF;
  for (size_t i = 0; i < scrambled.size(); ++i)
    scrambled[i] ^= static_cast<uint8_t>(key >> (8 * (i % 4)));
  Hash hd;
  hd.Add(static_cast<int64_t>(DriverRun(packed, n, true, 0, 0, &plain)));
  hd.Add(static_cast<int64_t>(DriverRun(scrambled, n, true, static_cast<int32_t>(key), 0, &plain)));
  hd.Add(static_cast<int64_t>(DriverRun(packed, n, true, 0, 3, nullptr)));
  p.decode = hd.Value();
  return p;
}

// Recorded from the reference loops (the state-field bit writer and reader, ReadByte and
// WriteByte per byte, the plain tree walk).
const std::map<std::string, Pinned>& Golden() {
  static const std::map<std::string, Pinned> golden = {
#include "lzh_pinned_golden.inc"
  };
  return golden;
}

TEST(LzhPinned, EveryCorpusSampleBothWays) {
  const bool print = std::getenv("QOBZ_PRINT_LZH_PINS") != nullptr;
  int checked = 0;
  if (!QOBZ_LZH_PIN_LARGE) GTEST_SKIP() << "large samples only in optimised builds";
  for (const auto& sample : test::Corpus(true)) {
    if (!sample.name.ends_with("-large")) continue;
    const Pinned got = Measure(sample.data);
    if (print) {
      std::printf("{\"%s\", {0x%016" PRIx64 "ull, 0x%016" PRIx64 "ull, 0x%016" PRIx64 "ull}},\n",
                  sample.name.c_str(), got.packed, got.encode, got.decode);
      continue;
    }
    auto it = Golden().find(sample.name);
    ASSERT_NE(it, Golden().end()) << sample.name;
    EXPECT_EQ(got.packed, it->second.packed) << sample.name;
    EXPECT_EQ(got.encode, it->second.encode) << sample.name;
    EXPECT_EQ(got.decode, it->second.decode) << sample.name;
    ++checked;
  }
  if (!print) {
    EXPECT_EQ(checked, 5);
  }
}

// Arbitrary packed bytes take every path of the expander's bit reader: codes and offsets that
// straddle the input buffers, a stream that runs dry, a cancelled fetch. The keyed run goes
// through the plain reference loop; the unkeyed one must do exactly the same.
TEST(LzhPinned, JunkExpandsAlikeWithAndWithoutKey) {
  const uint32_t key = 0x0BADF00D;
  for (size_t size : {size_t{1}, size_t{3000}, size_t{8191}, size_t{8193}, size_t{40000}}) {
    const Bytes junk = test::MakeData(test::Kind::Random, size, size);
    Bytes scrambled = junk;
    for (size_t i = 0; i < scrambled.size(); ++i)
      scrambled[i] ^= static_cast<uint8_t>(key >> (8 * (i % 4)));
    for (int32_t count : {1, 7000, 60000, 250000}) {
      for (int cancel_at : {0, 2, 3}) {
        EXPECT_EQ(DriverRun(junk, count, true, 0, cancel_at, nullptr),
                  DriverRun(scrambled, count, true, static_cast<int32_t>(key), cancel_at, nullptr))
            << size << " " << count << " " << cancel_at;
      }
    }
  }
}

}  // namespace
}  // namespace qobz
