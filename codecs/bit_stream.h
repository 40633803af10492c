// The bit layer over ReadByte/WriteByte, most significant bit first.
//
// Reader: BitBuffer always holds the next 16 bits of input; past the end of the input the bits
// are zero and ReadByte is no longer called once EndOfInput is set. The reader starts with all
// three fields 0 and is primed by ConsumeBits(16). It takes a byte only when a request needs its
// bits, so after consuming every bit of a valid stream it has taken at most the two bytes of
// BitBuffer past the end; a third zero byte means the stream is damaged (NoteZeroByte).
// Writer: starts with BitByte 0 and BitCount 8; a byte goes to WriteByte as soon as its eighth bit
// is placed. WriteBits(7, 0) completes a partly filled byte with zeros at the end of a stream.
#pragma once

#include <cstdint>

#include "codecs/byte_stream.h"

namespace qobz {

// Bytes the reader holds beyond the bits consumed: BitBuffer's 16 bits.
constexpr int32_t BitReaderLookAheadBytes = 2;

inline void StartBitReader(TCompThreadSafety& s) {
  s.BitBuffer = 0;
  s.BitByte = 0;
  s.BitCount = 0;
}

inline void StartBitWriter(TCompThreadSafety& s) {
  s.BitByte = 0;
  s.BitCount = 8;
}

// Drops the top n bits (0..16) of BitBuffer and shifts in as many new ones.
inline void ConsumeBits(TCompThreadSafety& s, int n) {
  while (n > s.BitCount) {
    n -= s.BitCount;
    s.BitBuffer =
        static_cast<uint16_t>((s.BitBuffer << s.BitCount) + (s.BitByte >> (8 - s.BitCount)));
    s.BitByte = s.EndOfInput ? 0 : ReadByte(s);
    if (s.EndOfInput) [[unlikely]]
      NoteZeroByte(s, BitReaderLookAheadBytes);
    s.BitCount = 8;
  }
  s.BitCount = static_cast<uint8_t>(s.BitCount - n);
  s.BitBuffer = static_cast<uint16_t>((s.BitBuffer << n) + (s.BitByte >> (8 - n)));
  s.BitByte = static_cast<uint8_t>(s.BitByte << n);
}

// Returns the top n bits (0..16) of BitBuffer as a number, then consumes them.
inline uint16_t ReadBits(TCompThreadSafety& s, int n) {
  uint16_t v = static_cast<uint16_t>(n == 0 ? 0 : s.BitBuffer >> (16 - n));
  ConsumeBits(s, n);
  return v;
}

// Writes the top n bits (0..16) of w; the lower 16 - n bits of w must be zero.
inline void WriteCodeBits(TCompThreadSafety& s, int n, uint16_t w) {
  while (n >= s.BitCount) {
    n -= s.BitCount;
    s.BitByte = static_cast<uint8_t>(s.BitByte + (w >> (16 - s.BitCount)));
    w = static_cast<uint16_t>(w << s.BitCount);
    WriteByte(s, s.BitByte);
    s.BitByte = 0;
    s.BitCount = 8;
  }
  s.BitByte = static_cast<uint8_t>(s.BitByte + (w >> (16 - s.BitCount)));
  s.BitCount = static_cast<uint8_t>(s.BitCount - n);
}

// Writes the low n bits (0..16) of v.
inline void WriteBits(TCompThreadSafety& s, int n, uint16_t v) {
  if (n == 0) return;
  WriteCodeBits(s, n, static_cast<uint16_t>(v << (16 - n)));
}

}  // namespace qobz
