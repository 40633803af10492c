// Wiring the codec state for one run.
#include "codecs/run.h"

#include "codecs/byte_stream.h"

namespace qobz {

TCodecRun::TCodecRun(TCompThreadSafety& s, TStream& dest, TStream& source, int32_t input_size,
                     bool expanding, const TCodecOptions& options)
    : s_(s),
      expanding_(expanding),
      input_(std::make_unique<uint8_t[]>(IOBufferSize)),
      output_(std::make_unique<uint8_t[]>(IOBufferSize)) {
  s.Progress = ProgressHandlerOf(options);
  s.InStream = &source;
  s.OutStream = &dest;
  s.InputBuffer = input_.get();
  s.InPos = s.InEnd = s.InputBuffer;
  s.OutputBuffer = output_.get();
  s.OutPos = s.OutputBuffer;
  s.OutEnd = s.OutputBuffer + IOBufferSize;
  s.EndOfInput = false;
  s.FetchCancelled = false;
  s.ZeroBytesPastEnd = 0;
  // A negative size (only a damaged header can give one) reads nothing.
  s.InRemaining = input_size > 0 ? input_size : 0;
  s.InChunk = IOBufferSize;
  s.InDone = 0;
  s.OutCount = 0;
  s.OutLimit = options.OutputLimit;
  s.InSum = 0;
  s.OutSum = 0;
  s.UnscrambleInput = expanding && options.Key != 0 && options.Scrambled;
  s.ScrambleOutput = !expanding && options.Key != 0;
  for (int i = 0; i < 4; ++i)
    s.KeyBytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(options.Key) >> (8 * i));
  s.KeyIndex = 0;
  s.RunFirst = true;
  s.RunActive = false;
  s.LastByte = 0;
  s.RunCount = 0;
}

TCodecRun::~TCodecRun() {
  s_.InputBuffer = s_.OutputBuffer = s_.InPos = s_.InEnd = s_.OutPos = s_.OutEnd = nullptr;
  s_.InStream = s_.OutStream = nullptr;
  s_.Progress = nullptr;
}

TCodecResult TCodecRun::Finish() {
  // Flushed before the result is made, so that a failed final write leaves no result.
  FlushOutput(s_);
  TCodecResult result;
  result.Written = s_.OutCount;
  result.Checksum = expanding_ ? s_.OutSum : s_.InSum;
  result.Cancelled = s_.FetchCancelled;
  result.Started = true;
  return result;
}

}  // namespace qobz
