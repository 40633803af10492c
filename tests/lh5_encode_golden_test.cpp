// Pins everything the LH5 encoders (the default and the smallest-effort one) do on the large
// corpus samples (3 MiB of each kind), so that
// speed work on the trie, the block writer and the bit writer cannot move a single byte: the
// packed bytes (keyed, so the key phase of each byte counts too), every Read and WriteBuffer call
// with its size, every progress value, and the codec state left behind. Each sample folds into
// one FNV-1a 64 hash, recorded from the encoder before any of that work. The small samples at the
// buffer, window and block boundaries are pinned as files (encoder_golden_test.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "codecs/byte_stream.h"
#include "codecs/codec_state.h"
#include "codecs/codecs.h"
#include "codecs/run.h"
#include "qobz/errors.h"
#include "support/corpus.h"
#include "support/recording_stream.h"

namespace qobz {
namespace {

class Fnv64 {
 public:
  void Byte(uint8_t b) {
    h_ ^= b;
    h_ *= 0x100000001B3ull;
  }
  void Word(uint64_t v) {
    for (int i = 0; i < 8; ++i) Byte(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Tag(char c) { Byte(static_cast<uint8_t>(c)); }
  uint64_t Value() const { return h_; }

 private:
  uint64_t h_ = 0xCBF29CE484222325ull;
};

// Runs the encoder as the driver does for a compressing run with a key and a progress handler,
// and hashes every observable effect in order.
uint64_t EncodeAndHash(void (*encode)(TCompThreadSafety&), const std::vector<uint8_t>& input,
                       uint32_t key, int32_t out_limit) {
  test::RecordingStream src(input);
  test::RecordingStream dst;
  Fnv64 log;
  TCompThreadSafety s;
  const TShowProgressEvent handler = [&](int32_t& percent) {
    log.Tag('P');
    log.Word(static_cast<uint32_t>(percent));
  };
  TCodecOptions options;
  options.Key = static_cast<int32_t>(key);
  options.OutputLimit = out_limit;
  options.Progress = &handler;
  TCodecRun run(s, dst, src, static_cast<int32_t>(input.size()), false, options);
  try {
    encode(s);
    FlushOutput(s);
  } catch (const EUnableToCompress&) {
    log.Tag('U');
  }
  for (int32_t n : src.read_requests) log.Word(static_cast<uint32_t>(n));
  log.Tag('W');
  for (int32_t n : dst.writes) log.Word(static_cast<uint32_t>(n));
  log.Tag('D');
  for (uint8_t b : dst.Data()) log.Byte(b);
  log.Tag('S');
  for (uint64_t v :
       {uint64_t{s.InSum}, uint64_t{s.OutSum}, uint64_t(s.OutCount), uint64_t(s.OutLimit),
        uint64_t(s.KeyIndex), uint64_t(s.InDone), uint64_t(s.InRemaining), uint64_t(s.EndOfInput),
        uint64_t(s.InPos - s.InputBuffer), uint64_t(s.InEnd - s.InputBuffer), uint64_t{s.BitByte},
        uint64_t{s.BitCount}}) {
    log.Word(v);
  }
  return log.Value();
}

// Golden values: name -> {unlimited, limited to the input size}.
const std::map<std::string, std::pair<uint64_t, uint64_t>>& Golden() {
  static const std::map<std::string, std::pair<uint64_t, uint64_t>> golden = {
#include "lh5_encode_golden.inc"
  };
  return golden;
}

TEST(LH5EncodeGolden, EveryCorpusSampleKeepsItsBytesCallsAndState) {
  const auto& golden = Golden();
  std::string recorded;
  int checked = 0;
  for (const test::Sample& sample : test::Corpus(true)) {
    if (!sample.name.ends_with("-large")) continue;
    for (bool best : {false, true}) {
      const auto encode = best ? LH5CompressBest : LH5Compress;
      const std::string name = (best ? "best:" : "") + sample.name;
      const uint64_t open = EncodeAndHash(encode, sample.data, 0xA5C3E1F7u, 2147483647);
      const uint64_t tight =
          EncodeAndHash(encode, sample.data, 0, static_cast<int32_t>(sample.data.size()));
      char line[128];
      std::snprintf(line, sizeof line, "    {\"%s\", {0x%016llxull, 0x%016llxull}},\n",
                    name.c_str(), static_cast<unsigned long long>(open),
                    static_cast<unsigned long long>(tight));
      recorded += line;
      const auto it = golden.find(name);
      if (it == golden.end()) {
        ADD_FAILURE() << "no golden hash for " << name;
        continue;
      }
      EXPECT_EQ(open, it->second.first) << name << " (keyed, unlimited)";
      EXPECT_EQ(tight, it->second.second) << name << " (limited to its size)";
      ++checked;
    }
  }
  EXPECT_EQ(checked, static_cast<int>(golden.size()));
  if (HasFailure()) std::printf("hashes of this build:\n%s", recorded.c_str());
}

}  // namespace
}  // namespace qobz
