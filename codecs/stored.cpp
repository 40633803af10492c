// Method 0, stored: the packed data are the file's bytes.
#include "codecs/byte_stream.h"
#include "codecs/codecs.h"

namespace qobz {

void CopyStored(TCompThreadSafety& s) {
  for (;;) {
    uint8_t b = ReadByte(s);
    if (s.EndOfInput) return;
    WriteByte(s, b);
  }
}

}  // namespace qobz
