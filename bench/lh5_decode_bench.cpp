// LH5 decode throughput per corpus file, through the codec driver as archives use it.
//
// Usage: lh5_decode_bench [benchmark flags] [FILE...]. Without files the large samples of the test
// corpus are used. The streams come from `jlha a` (jlha-utils), so the decoder is timed on streams
// that an independent encoder made; every decode is first checked against the original bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "../tests/support/corpus.h"
#include "lha_peer.h"
#include "qobz/compress.h"

namespace {

struct Sample {
  std::string name;
  std::vector<uint8_t> original;
  std::vector<uint8_t> packed;
};

void Decode(benchmark::State& state, const Sample* sample) {
  qobz::TCompress compress;
  const auto size = static_cast<int32_t>(sample->original.size());
  const auto packed_size = static_cast<int32_t>(sample->packed.size());
  {
    qobz::TMemoryStream source(sample->packed);
    qobz::TMemoryStream dest;
    uint32_t checksum = 0;
    compress.RunCodec(dest, source, packed_size, size, 4, checksum, true, false);
    if (dest.Data() != sample->original) {
      state.SkipWithError("decoded bytes differ from the original");
      return;
    }
  }
  qobz::TMemoryStream source(sample->packed);
  for (auto _ : state) {
    source.Seek(0, qobz::SeekOrigin::Begin);
    qobz::TNullStream dest;
    uint32_t checksum = 0;
    compress.RunCodec(dest, source, packed_size, size, 4, checksum, true, false);
    benchmark::DoNotOptimize(checksum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  state.counters["ratio%"] = 100.0 * static_cast<double>(packed_size) / size;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::unique_ptr<Sample>> samples;
  try {
    if (argc > 1) {
      for (int i = 1; i < argc; ++i) {
        auto s = std::make_unique<Sample>();
        s->name = std::filesystem::path(argv[i]).filename().string();
        s->original = qobz::bench::ReadWholeFile(argv[i]);
        samples.push_back(std::move(s));
      }
    } else {
      for (auto& c : qobz::test::Corpus(true)) {
        if (c.data.size() < (1u << 20)) continue;
        samples.push_back(std::make_unique<Sample>(Sample{c.name, std::move(c.data), {}}));
      }
    }
    // jlha stores what it cannot shrink (random data) as -lh0-: such samples are left out.
    for (auto& s : samples) {
      try {
        s->packed = qobz::bench::LhaStreamOf(s->original);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "lh5_decode_bench: skipping %s: %s\n", s->name.c_str(), e.what());
      }
    }
    std::erase_if(samples, [](const auto& s) { return s->packed.empty(); });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lh5_decode_bench: %s\n", e.what());
    return 1;
  }
  for (const auto& s : samples) {
    benchmark::RegisterBenchmark(("LH5Decode/" + s->name).c_str(), Decode, s.get())
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
