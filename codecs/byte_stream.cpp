// The once-per-buffer half of the byte layer: fetching, progress, yielding and writing.
#include "codecs/byte_stream.h"

#include "platform/platform.h"
#include "qobz/errors.h"

namespace qobz {

bool RefillInput(TCompThreadSafety& s) {
  s.EndOfInput = true;
  if (s.InRemaining <= 0) return false;
  if (s.InRemaining < s.InChunk) s.InChunk = s.InRemaining;
  int32_t n = s.InStream->Read(s.InputBuffer, s.InChunk);
  if (n <= 0) return false;  // a failed read ends the input like its end does
  s.InRemaining -= n;
  s.InEnd = s.InputBuffer + n;
  s.InPos = s.InputBuffer;
  if (s.Progress) {
    s.InDone += n;
    int32_t percent = PercentOf(s.InDone, s.InDone + s.InRemaining);
    (*s.Progress)(percent);
    if (percent == -1) {
      s.FetchCancelled = true;
      return false;  // the fetched bytes stay in the buffer
    }
  }
  platform::YieldProcessor();
  s.EndOfInput = false;
  return true;
}

void WriteFullOutput(TCompThreadSafety& s) {
  platform::YieldProcessor();
  s.OutStream->WriteBuffer(s.OutputBuffer, IOBufferSize);
  s.OutPos = s.OutputBuffer;
}

void NoteZeroByte(TCompThreadSafety& s, int32_t look_ahead) {
  if (s.FetchCancelled) return;
  if (++s.ZeroBytesPastEnd > look_ahead) throw EBadChecksum();
}

void ThrowOutputLimit() {
  throw EUnableToCompress();
}

void FlushOutput(TCompThreadSafety& s) {
  if (s.OutPos != s.OutputBuffer) {
    s.OutStream->WriteBuffer(s.OutputBuffer, static_cast<int32_t>(s.OutPos - s.OutputBuffer));
    s.OutPos = s.OutputBuffer;
  }
}

}  // namespace qobz
