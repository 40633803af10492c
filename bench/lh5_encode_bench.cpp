// LH5 encoding speed per corpus sample, through the codec driver as the archive writer runs it,
// in MB/s of input. Every sample of the large corpus (a few MB each) and the 16 KiB ones.
//   build/bin/lh5_encode_bench [--benchmark_filter=large] [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "qobz/compress.h"
#include "support/corpus.h"

namespace {

// A destination that only counts, so that the timing is the encoder's.
class CountingStream : public qobz::TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  void WriteBuffer(const void*, int32_t count) override { size_ += count; }
  int64_t Seek(int64_t, qobz::SeekOrigin) override { return size_; }
  int64_t size_ = 0;
};

void EncodeSample(benchmark::State& state, const std::vector<uint8_t>& data) {
  qobz::TCompress compress;
  int64_t packed = 0;
  for (auto _ : state) {
    qobz::TMemoryStream src(data);
    CountingStream dst;
    uint32_t checksum = 0;
    compress.EncodeStream(dst, src, static_cast<int32_t>(data.size()), qobz::kMethodLh5, checksum);
    packed = dst.size_;
    benchmark::DoNotOptimize(checksum);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
  state.counters["ratio"] = data.empty() ? 0.0 : static_cast<double>(packed) / data.size();
}

}  // namespace

int main(int argc, char** argv) {
  static const std::vector<qobz::test::Sample> samples = qobz::test::Corpus(/*large=*/true);
  for (const auto& sample : samples) {
    if (sample.name.ends_with("-large") || sample.name.ends_with("-16385"))
      benchmark::RegisterBenchmark(("LH5Encode/" + sample.name).c_str(), EncodeSample,
                                   std::cref(sample.data))
          ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
