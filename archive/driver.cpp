// The codec driver: the single place where a compression method runs.
//
// For one entry it calls the progress handler with 0, wires the codec state for the run
// (TCodecRun: two fresh buffers, the streams, the key, the output limit), runs the method's routine
// from the method table, and hands back what was written and the checksum: the sum of the unpacked
// bytes, since the key only ever acts on the packed side; then it calls the handler with 100.
#include <memory>

#include "codecs/methods.h"
#include "codecs/run.h"
#include "qobz/compress.h"

namespace qobz {

namespace {

// Runs the routine of a method code; codes without a built-in routine run nothing.
void RunRoutine(TCompThreadSafety& s, uint8_t method, bool expanding, int32_t unpacked_size,
                TEffort effort) {
  const TCodecRow* codec = FindCodec(method);
  if (!codec || !codec->encode) return;
  if (expanding) {
    codec->decode(s, unpacked_size);
  } else {
    const bool smallest = effort == TEffort::Smallest && codec->encode_smallest;
    (smallest ? codec->encode_smallest : codec->encode)(s);
  }
}

}  // namespace

int32_t TCompress::RunCodec(TStream& Dest, TStream& Source, int32_t InputSize, int32_t UnpackedSize,
                            uint8_t Method, uint32_t& Checksum, bool Expanding, bool Scrambled) {
  TCodecOptions options;
  options.Key = Key;
  options.Scrambled = Scrambled;
  if (!Expanding) options.OutputLimit = InputSize > 0 ? InputSize : 0;
  options.Progress = &OnShowProgress;
  const TCodecResult result =
      Run(Dest, Source, InputSize, UnpackedSize, Method, Expanding, options);
  if (result.Started) Checksum = result.Checksum;  // a run never started leaves it as it was
  return result.Written;
}

int32_t TCompress::EncodeStream(TStream& Dest, TStream& Source, int32_t InputSize, uint8_t Method,
                                uint32_t& Checksum, bool Best) {
  TCodecOptions options;
  options.Key = Key;
  options.Effort = Best ? TEffort::Smallest : TEffort::Default;
  options.Progress = &OnShowProgress;
  const TCodecResult result = Run(Dest, Source, InputSize, InputSize, Method, false, options);
  if (result.Started) Checksum = result.Checksum;
  return result.Written;
}

TCodecResult TCompress::Run(TStream& Dest, TStream& Source, int32_t InputSize, int32_t UnpackedSize,
                            uint8_t Method, bool Expanding, const TCodecOptions& Options) {
  TCompThreadSafety& s = *codec_state_;
  const TShowProgressEvent* progress = ProgressHandlerOf(Options);
  TCodecResult result;
  if (progress) {
    int32_t percent = 0;
    (*progress)(percent);
    if (percent == -1) {
      s.FetchCancelled = true;  // nothing ran: no damage is to be seen in the run's counts
      result.Cancelled = true;
      return result;
    }
  }

  {
    TCodecRun run(*codec_state_, Dest, Source, InputSize, Expanding, Options);
    RunRoutine(run.State(), Method, Expanding, UnpackedSize, Options.Effort);
    result = run.Finish();
  }

  if (progress) {
    int32_t percent = 100;
    (*progress)(percent);
    if (percent == -1) result.Cancelled = true;
  }
  return result;
}

}  // namespace qobz
