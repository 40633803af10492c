// LZH encode and decode speed on the large corpus samples, through the codec driver as an archive
// entry would run. Reports MB/s of unpacked data and the packed/unpacked ratio.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <vector>

#include "qobz/compress.h"
#include "support/corpus.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(qobz::TCompress& c, const Bytes& plain) {
  qobz::TMemoryStream src(plain), dst;
  uint32_t sum = 0;
  c.EncodeStream(dst, src, static_cast<int32_t>(plain.size()), qobz::kMethodLzh, sum);
  return std::move(dst.Data());
}

void BM_LzhEncode(benchmark::State& state, qobz::test::Kind kind) {
  const Bytes plain = qobz::test::MakeData(kind, qobz::test::kLargeSize);
  qobz::TCompress c;
  size_t packed = 0;
  for (auto _ : state) packed = Encode(c, plain).size();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain.size()));
  state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(plain.size());
}

void BM_LzhDecode(benchmark::State& state, qobz::test::Kind kind) {
  const Bytes plain = qobz::test::MakeData(kind, qobz::test::kLargeSize);
  qobz::TCompress c;
  const Bytes packed = Encode(c, plain);
  for (auto _ : state) {
    qobz::TMemoryStream src(packed), dst;
    dst.Data().reserve(plain.size() + 64);
    uint32_t sum = 0;
    c.RunCodec(dst, src, static_cast<int32_t>(packed.size()), static_cast<int32_t>(plain.size()),
               qobz::kMethodLzh, sum, true, false);
    if (dst.Data() != plain) throw std::runtime_error("LZH decode mismatch");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain.size()));
  state.counters["ratio"] = static_cast<double>(packed.size()) / static_cast<double>(plain.size());
}

using qobz::test::Kind;
BENCHMARK_CAPTURE(BM_LzhEncode, text, Kind::Text)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzhEncode, source, Kind::Source)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzhEncode, binary, Kind::Binary)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzhEncode, random, Kind::Random)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzhEncode, runs, Kind::Runs)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzhDecode, text, Kind::Text)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzhDecode, source, Kind::Source)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzhDecode, binary, Kind::Binary)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzhDecode, random, Kind::Random)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzhDecode, runs, Kind::Runs)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
