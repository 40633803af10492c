// Run-length coder throughput through the codec driver, on every corpus file larger than 1 MB,
// both directions, with a stored copy of the same bytes side by side as the peer (it moves every
// byte through the same buffers, so the ratio to it is what holds on a noisy machine).
// Output is checked once per benchmark before timing. Bytes/s count the unpacked side.
#include <benchmark/benchmark.h>

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
// and its buffers, not the copying or allocating of megabytes. Returns the input bytes consumed
// (less than the whole when the encoder raises EUnableToCompress).
int64_t Pass(TCompress& c, TMemoryStream& src, TMemoryStream& dst, uint8_t method, bool expanding) {
  src.Seek(0, qobz::SeekOrigin::Begin);
  dst.Seek(0, qobz::SeekOrigin::Begin);
  dst.Data().clear();
  uint32_t checksum = 0;
  try {
    c.RunCodec(dst, src, static_cast<int32_t>(src.Size()), 0, method, checksum, expanding, false);
  } catch (const qobz::EUnableToCompress&) {
  }
  return src.Position();
}

Bytes Once(const Bytes& in, uint8_t method, bool expanding) {
  TCompress c;
  TMemoryStream src(in), dst;
  if (Pass(c, src, dst, method, expanding) != static_cast<int64_t>(in.size())) return {};
  return dst.Data();
}

void Bench(benchmark::State& st, const Bytes& in, uint8_t method, bool expanding, size_t plain_size,
           double ratio) {
  TCompress c;
  TMemoryStream src(in), dst;
  dst.Data().reserve(plain_size + 16);
  int64_t consumed = 0;
  for (auto _ : st) consumed = Pass(c, src, dst, method, expanding);
  // Unpacked bytes per second; an encoder stopped by the limit counts what it consumed.
  int64_t per_pass =
      consumed == static_cast<int64_t>(in.size()) ? static_cast<int64_t>(plain_size) : consumed;
  if (per_pass != static_cast<int64_t>(plain_size)) st.SetLabel("stopped by EUnableToCompress");
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * per_pass);
  st.counters["ratio"] = ratio;
}

void RegisterAll() {
  for (const qobz::test::Sample& sample : qobz::test::Corpus(true)) {
    if (sample.data.size() <= (1u << 20)) continue;
    auto plain = std::make_shared<Bytes>(sample.data);
    auto packed = std::make_shared<Bytes>(Once(*plain, qobz::kMethodRle, false));
    bool compressible = !packed->empty();
    if (compressible && Once(*packed, qobz::kMethodRle, true) != *plain) {
      benchmark::RegisterBenchmark(("rle/" + sample.name + "/ROUND-TRIP-FAILED").c_str(),
                                   [](benchmark::State& st) { st.SkipWithError("mismatch"); });
      continue;
    }
    double ratio = compressible ? double(packed->size()) / double(plain->size()) : 1.0;
    size_t n = plain->size();
    benchmark::RegisterBenchmark(("rle/encode/" + sample.name).c_str(), [=](benchmark::State& st) {
      Bench(st, *plain, qobz::kMethodRle, false, n, ratio);
    });
    if (compressible)
      benchmark::RegisterBenchmark(
          ("rle/decode/" + sample.name).c_str(),
          [=](benchmark::State& st) { Bench(st, *packed, qobz::kMethodRle, true, n, ratio); });
    benchmark::RegisterBenchmark(("stored/copy/" + sample.name).c_str(), [=](benchmark::State& st) {
      Bench(st, *plain, qobz::kMethodStored, true, n, 1.0);
    });
  }
}

const bool registered = (RegisterAll(), true);

}  // namespace
