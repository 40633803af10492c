// Run-length coder throughput through the codec driver, on every corpus file larger than 1 MB,
// both directions, with a stored copy of the same bytes side by side as the peer (it moves every
// byte through the same buffers, so the ratio to it is what holds on a noisy machine).
// Output is checked once per benchmark before timing. Bytes/s count the unpacked side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qobz/compress.h"
#include "tests/support/corpus.h"

namespace {

using qobz::TCompress;
using qobz::TMemoryStream;
using Bytes = std::vector<uint8_t>;

// One codec pass over streams that live across iterations, so that the timing holds the codec
// and its buffers, not the copying or allocating of megabytes. Encoding goes through EncodeStream,
// the driver without the output limit, so that data that grows (random bytes) is timed whole
// rather than up to the point where RunCodec would refuse it.
void Pass(TCompress& c, TMemoryStream& src, TMemoryStream& dst, uint8_t method, bool expanding) {
  src.Seek(0, qobz::SeekOrigin::Begin);
  dst.Seek(0, qobz::SeekOrigin::Begin);
  dst.Data().clear();
  uint32_t checksum = 0;
  auto size = static_cast<int32_t>(src.Size());
  if (expanding) {
    c.RunCodec(dst, src, size, 0, method, checksum, true, false);
  } else {
    c.EncodeStream(dst, src, size, method, checksum);
  }
}

Bytes Once(const Bytes& in, uint8_t method, bool expanding) {
  TCompress c;
  TMemoryStream src(in), dst;
  Pass(c, src, dst, method, expanding);
  return dst.Data();
}

void Bench(benchmark::State& st, const Bytes& in, uint8_t method, bool expanding, size_t plain_size,
           double ratio) {
  TCompress c;
  TMemoryStream src(in), dst;
  dst.Data().reserve(std::max(plain_size, in.size()) + 16);
  for (auto _ : st) Pass(c, src, dst, method, expanding);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(plain_size));
  st.counters["ratio"] = ratio;
}

// Every corpus file above 1 MB: encode, decode, and the stored copy of the same bytes.
void RegisterAll() {
  for (const qobz::test::Sample& sample : qobz::test::Corpus(true)) {
    if (sample.data.size() <= (1u << 20)) continue;
    auto plain = std::make_shared<Bytes>(sample.data);
    auto packed = std::make_shared<Bytes>(Once(*plain, qobz::kMethodRle, false));
    if (Once(*packed, qobz::kMethodRle, true) != *plain) {
      benchmark::RegisterBenchmark(("rle/" + sample.name + "/ROUND-TRIP-FAILED").c_str(),
                                   [](benchmark::State& st) { st.SkipWithError("mismatch"); });
      continue;
    }
    double ratio = double(packed->size()) / double(plain->size());
    size_t n = plain->size();
    benchmark::RegisterBenchmark(("rle/encode/" + sample.name).c_str(), [=](benchmark::State& st) {
      Bench(st, *plain, qobz::kMethodRle, false, n, ratio);
    });
    benchmark::RegisterBenchmark(("rle/decode/" + sample.name).c_str(), [=](benchmark::State& st) {
      Bench(st, *packed, qobz::kMethodRle, true, n, ratio);
    });
    benchmark::RegisterBenchmark(("stored/copy/" + sample.name).c_str(), [=](benchmark::State& st) {
      Bench(st, *plain, qobz::kMethodStored, true, n, 1.0);
    });
  }
}

const bool registered = (RegisterAll(), true);

}  // namespace
