// The codec driver: the single place where a compression method runs.
//
// For one entry it prepares the codec state, gives it two fresh buffers, sets up the key and the
// progress handler, runs the method's routine, flushes what is left in the output buffer and hands
// back the checksum: the sum of the unpacked bytes, which is InSum when compressing and OutSum
// when expanding, since the key only ever acts on the packed side.
#include <memory>

#include "codecs/byte_stream.h"
#include "codecs/methods.h"
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
  const TShowProgressEvent* progress =
      Options.Progress && *Options.Progress ? Options.Progress : nullptr;
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

  // Both buffers live exactly as long as this call, whatever way it ends.
  auto input = std::make_unique<uint8_t[]>(IOBufferSize);
  auto output = std::make_unique<uint8_t[]>(IOBufferSize);
  struct BufferGuard {
    TCompThreadSafety& s;
    ~BufferGuard() {
      s.InputBuffer = s.OutputBuffer = s.InPos = s.InEnd = s.OutPos = s.OutEnd = nullptr;
      s.InStream = s.OutStream = nullptr;
      s.Progress = nullptr;
    }
  } guard{s};

  result.Started = true;
  s.Progress = progress;
  s.InStream = &Source;
  s.OutStream = &Dest;
  s.InputBuffer = input.get();
  s.InPos = s.InEnd = s.InputBuffer;
  s.OutputBuffer = output.get();
  s.OutPos = s.OutputBuffer;
  s.OutEnd = s.OutputBuffer + IOBufferSize;
  s.EndOfInput = false;
  s.FetchCancelled = false;
  s.ZeroBytesPastEnd = 0;
  // A negative size (only a damaged header can give one) reads nothing.
  s.InRemaining = InputSize > 0 ? InputSize : 0;
  s.InChunk = IOBufferSize;
  s.InDone = 0;
  s.OutCount = 0;
  s.OutLimit = Options.OutputLimit;
  s.InSum = 0;
  s.OutSum = 0;
  s.UnscrambleInput = Expanding && Options.Key != 0 && Options.Scrambled;
  s.ScrambleOutput = !Expanding && Options.Key != 0;
  for (int i = 0; i < 4; ++i)
    s.KeyBytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(Options.Key) >> (8 * i));
  s.KeyIndex = 0;
  s.RunFirst = true;
  s.RunActive = false;
  s.LastByte = 0;
  s.RunCount = 0;

  RunRoutine(s, Method, Expanding, UnpackedSize, Options.Effort);
  // Flushed before the result is made, so that a failed final write leaves the caller's checksum
  // untouched like any other failure of the run.
  FlushOutput(s);
  result.Written = s.OutCount;
  result.Checksum = Expanding ? s.OutSum : s.InSum;
  result.Cancelled = s.FetchCancelled;

  if (progress) {
    int32_t percent = 100;
    (*progress)(percent);
    if (percent == -1) result.Cancelled = true;
  }
  return result;
}

}  // namespace qobz
