// LzhExpand: decodes symbols until the requested number of bytes is out.
//
// The expander never detects damage: past the end of the packed data every bit reads as 0 and
// decoding goes on until count bytes are out. The count is tested only before each symbol, so the
// last match of a damaged stream may carry the output up to 59 bytes past it.
//
// Unlike the compressor, which only ever reaches 4036 positions back, a stream from elsewhere may
// use offsets up to 4095 from the first symbol on; the whole ring therefore starts as spaces, not
// just the positions before LzhRingStart. Valid streams decode the same either way.
#include <cstring>

#include "codecs/codecs.h"
#include "codecs/lzh/lzh.h"

namespace qobz {

void LzhExpand(TCompThreadSafety& s, int32_t count) {
  if (count <= 0) return;
  LzhWorkGuard guard(s);
  LzhAllocateWork(s);
  LzhStartModel(s);
  uint8_t* ring = s.LzhRing.get();
  std::memset(ring, LzhRingFill, LzhRingSize);
  int r = LzhRingStart;
  int32_t produced = 0;
  while (produced < count) {
    const int symbol = LzhDecodeSymbol(s);
    if (symbol < 256) {
      WriteByte(s, static_cast<uint8_t>(symbol));
      ring[r] = static_cast<uint8_t>(symbol);
      r = (r + 1) & LzhRingMask;
      ++produced;
    } else {
      const int length = symbol - LzhMatchSymbolBias;
      const int start = r - LzhDecodeOffset(s) - 1;
      for (int k = 0; k < length; ++k) {
        const uint8_t b = ring[(start + k) & LzhRingMask];
        WriteByte(s, b);
        ring[r] = b;
        r = (r + 1) & LzhRingMask;
      }
      produced += length;
    }
  }
}

}  // namespace qobz
