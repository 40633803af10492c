// The smaller LH5 encoder next to the default one: the same reads, progress values, checksums,
// key and output limit, cancels that end both alike, streams that our decoder reads back, and
// output no larger than the default's on the data it is meant for.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "codecs/codec_state.h"
#include "qobz/compress.h"
#include "qobz/errors.h"
#include "qobz/writer.h"
#include "support/corpus.h"
#include "support/recording_stream.h"

namespace qobz {
namespace {

using Bytes = std::vector<uint8_t>;

struct Outcome {
  Bytes packed;
  uint32_t checksum = 0;
  int32_t count = 0;
  bool too_large = false;         // EUnableToCompress
  std::vector<int32_t> progress;  // every value the handler saw
  std::vector<int32_t> reads;     // the size delivered by each Read of the source
  int64_t source_position = 0;
};

// Packs through the driver as the archive writer does (output limited to the input size), with
// the key and a progress handler that cancels at its cancel_at-th call (never when 0).
Outcome Pack(const Bytes& input, bool best, int32_t key, int cancel_at) {
  TCompress c;
  Outcome r;
  c.OnShowProgress = [&r, cancel_at](int32_t& percent) {
    r.progress.push_back(percent);
    if (static_cast<int>(r.progress.size()) == cancel_at) percent = -1;
  };
  test::RecordingStream src(input);
  TMemoryStream dst;
  try {
    TCodecOptions options;
    options.Key = key;
    options.Effort = best ? TEffort::Smallest : TEffort::Default;
    options.OutputLimit = static_cast<int32_t>(input.size());
    options.Progress = &c.OnShowProgress;
    const int32_t size = static_cast<int32_t>(input.size());
    const TCodecResult result = c.Run(dst, src, size, size, kMethodLh5, false, options);
    r.count = result.Written;
    r.checksum = result.Checksum;
  } catch (const EUnableToCompress&) {
    r.too_large = true;
  }
  r.packed = dst.Data();
  r.reads = src.read_results;
  r.source_position = src.Position();
  return r;
}

Bytes Unpack(const Bytes& packed, size_t size, int32_t key) {
  TCompress c;
  c.Key = key;
  TMemoryStream src(packed);
  TMemoryStream dst;
  uint32_t sum = 0;
  c.RunCodec(dst, src, static_cast<int32_t>(packed.size()), static_cast<int32_t>(size), kMethodLh5,
             sum, true, key != 0);
  return dst.Data();
}

TEST(LH5Best, ReadsProgressChecksumAndKeyAsTheDefaultEncoder) {
  struct Case {
    const char* name;
    Bytes input;
    int32_t key;
    int cancel_at;  // progress call that cancels, 0 for none
    bool smaller;   // packs smaller than the default encoder
  };
  const Bytes text = test::MakeData(test::Kind::Text, 300000);
  // Mostly data that does not compress: no block may cost more than its bytes as literals.
  Bytes noise_then_text = test::MakeData(test::Kind::Random, 400000);
  noise_then_text.insert(noise_then_text.end(), text.begin(), text.begin() + 4000);
  const Case cases[] = {
      {"empty", {}, 0, 0, false},
      {"one byte", {0x41}, 0, 0, false},
      {"one value", Bytes(100000, 0x00), 0, 0, false},
      {"two values", test::MakeData(test::Kind::Runs, 40000), 0x5A3C9617, 0, true},
      {"window turn", test::MakeData(test::Kind::Source, 8193), 0, 0, true},
      {"text", text, 0, 0, true},
      {"text with key", text, static_cast<int32_t>(0xA1B2C3D4), 0, true},
      {"binary", test::MakeData(test::Kind::Binary, 200000), 0, 0, true},
      {"cancel at the first fetch", text, 0, 2, false},
      {"cancel later", text, 0, 9, false},
      {"noise grows", test::MakeData(test::Kind::Random, 50000), 0, 0, false},
      {"noise, then text", noise_then_text, 0, 0, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const Outcome def = Pack(k.input, false, k.key, k.cancel_at);
    const Outcome best = Pack(k.input, true, k.key, k.cancel_at);
    // A stream that outgrows its input is given up (and stored) by both, after reads that differ.
    EXPECT_EQ(def.too_large, k.input.size() == 1 || std::string(k.name) == "noise grows");
    EXPECT_EQ(best.too_large, def.too_large);
    if (def.too_large) continue;
    EXPECT_EQ(best.progress, def.progress);
    EXPECT_EQ(best.reads, def.reads);
    EXPECT_EQ(best.source_position, def.source_position);
    EXPECT_EQ(best.checksum, def.checksum);
    EXPECT_EQ(best.count, static_cast<int32_t>(best.packed.size()));
    if (k.cancel_at != 0) continue;  // what a cancelled run wrote is dropped by its caller
    EXPECT_EQ(best.checksum, std::accumulate(k.input.begin(), k.input.end(), 0u));
    EXPECT_EQ(Unpack(best.packed, k.input.size(), k.key), k.input);
    EXPECT_EQ(best.packed.empty(), k.input.empty());
    if (k.smaller) {
      EXPECT_LT(best.packed.size(), def.packed.size());
    }
  }
}

TEST(LH5Best, ArchiveWriterOptionPacksSmallerAndStoresWhatGrows) {
  TCompress c;
  c.Key = 0x1234567;
  const Bytes text = test::MakeData(test::Kind::Text, 100000);
  const Bytes noise = test::MakeData(test::Kind::Random, 20000);
  auto pack = [&](bool best) {
    TMemoryStream out;
    TArchiveWriter writer(c, out, kMethodLh5, 2);
    writer.SetBest(best);
    TMemoryStream a(text);
    TMemoryStream b(noise);
    std::vector<TWrittenEntry> entries = {writer.AddEntry("text", a, 0, 0),
                                          writer.AddEntry("noise", b, 0, 0)};
    writer.Finish();
    return entries;
  };
  const auto def = pack(false);
  const auto best = pack(true);
  EXPECT_EQ(best[0].Header.Method, kMethodLh5);
  EXPECT_LT(best[0].Header.PackedSize, def[0].Header.PackedSize);
  EXPECT_EQ(best[0].Header.Checksum, def[0].Header.Checksum);
  EXPECT_EQ(best[1].Header.Method, kMethodStored);
}

}  // namespace
}  // namespace qobz
