// One run of a codec routine: the codec state wired to its two streams and two fresh buffers,
// exactly as every run needs it. The driver runs each entry through one, and so does every test,
// fuzzer and benchmark that calls a routine itself: the byte layer is set up in this one place.
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/codec_state.h"
#include "qobz/codec_run.h"
#include "qobz/stream.h"

namespace qobz {

// The run's progress handler, or null when it has none (null, or an empty function).
inline const TShowProgressEvent* ProgressHandlerOf(const TCodecOptions& options) {
  return options.Progress && *options.Progress ? options.Progress : nullptr;
}

class TCodecRun {
 public:
  // Reads input_size bytes from source (a negative size reads nothing) and writes to dest.
  // Expanding, the key unscrambles the input when options.Scrambled is set; packing, it scrambles
  // the output, which may not outgrow options.OutputLimit. The progress handler, when there is one,
  // hears each fetch; the caller makes the calls before and after the run.
  TCodecRun(TCompThreadSafety& s, TStream& dest, TStream& source, int32_t input_size,
            bool expanding, const TCodecOptions& options);
  // Unwires the state: no buffer, stream or handler of this run stays in it.
  ~TCodecRun();
  TCodecRun(const TCodecRun&) = delete;
  TCodecRun& operator=(const TCodecRun&) = delete;

  TCompThreadSafety& State() { return s_; }
  // Writes what is left in the output buffer and answers the bytes written, the checksum (the
  // sum of the unpacked bytes) and whether the progress handler cancelled a fetch.
  TCodecResult Finish();

 private:
  TCompThreadSafety& s_;
  bool expanding_;
  std::unique_ptr<uint8_t[]> input_;
  std::unique_ptr<uint8_t[]> output_;
};

}  // namespace qobz
