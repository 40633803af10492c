// Method 0, stored: the packed data are the file's bytes.
//
// The copy moves whole runs: as many bytes as both the input buffer and the output room hold at
// once, accounted for by one commit. A byte at the end of either run goes through ReadByte and
// WriteByte, which fetch, report progress, write the full buffer or raise at the output limit
// exactly where the byte-at-a-time copy does.
#include <algorithm>

#include "codecs/byte_runs.h"
#include "codecs/byte_stream.h"
#include "codecs/codecs.h"

namespace qobz {

void CopyStoredBytewise(TCompThreadSafety& s) {
  for (;;) {
    const uint8_t b = ReadByte(s);
    if (s.EndOfInput) return;
    WriteByte(s, b);
  }
}

void CopyStored(TCompThreadSafety& s) {
  // Both sides keyed: the key index advances byte by byte on alternate sides.
  if (s.UnscrambleInput && s.ScrambleOutput) return CopyStoredBytewise(s);
  for (;;) {
    if (!s.EndOfInput) {
      TByteRuns io(s);
      const ptrdiff_t n = std::min(io.InLeft(), io.Room());
      if (n > 0) {
        io.CopyThrough(n);
        io.Commit();
        continue;
      }
    }
    const uint8_t b = ReadByte(s);
    if (s.EndOfInput) return;
    WriteByte(s, b);
  }
}

}  // namespace qobz
