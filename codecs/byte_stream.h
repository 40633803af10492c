// ReadByte and WriteByte: the only way a codec touches data.
//
// Input is fetched from InStream in reads of up to IOBufferSize bytes; output goes to OutStream in
// writes of exactly IOBufferSize bytes, the last partial buffer written by FlushOutput. At each
// fetch the progress handler is told the percentage of input consumed (and may cancel), and the
// processor is yielded; at each full output buffer it is yielded as well. Both sides keep a
// wrap-around byte sum, and the packed side may be XORed with the four key bytes in turn.
//
// The per-byte path is inline: a pointer compare, a load or store, an add and an optional XOR.
// Everything that happens once per buffer lives out of line in byte_stream.cpp.
#pragma once

#include <cstdint>

#include "codecs/codec_state.h"

namespace qobz {

// Refills the empty input buffer. Returns false when no byte can be delivered now (end of input,
// a read that delivered nothing, or a cancel by the progress handler); EndOfInput is then set.
// After a cancel the buffer nevertheless holds the fetched bytes.
bool RefillInput(TCompThreadSafety& s);
// Writes the full output buffer to OutStream and empties it.
void WriteFullOutput(TCompThreadSafety& s);
// For a decoder whose bit reader took a zero byte because the input had ended (EndOfInput set):
// counts it, unless a fetch of the run was cancelled, and raises EBadChecksum when more such
// bytes were taken than the reader's look-ahead (look_ahead bytes) can need for a valid stream.
// The decoder has then read bits that its packed data do not hold: the entry is damaged.
[[gnu::cold]] void NoteZeroByte(TCompThreadSafety& s, int32_t look_ahead);
// Raises EUnableToCompress.
[[noreturn]] void ThrowOutputLimit();
// Writes the used part of the output buffer, if any.
void FlushOutput(TCompThreadSafety& s);

// Progress in percent, in signed 32-bit arithmetic truncating toward zero. The split keeps
// done * 100 inside 32 bits. total must be at least 1.
constexpr int32_t PercentOf(int32_t done, int32_t total) {
  return total <= 100000 ? (done * 100) / total : done / (total / 100);
}

inline uint8_t ScrambleByte(TCompThreadSafety& s, uint8_t b) {
  b ^= s.KeyBytes[s.KeyIndex];
  s.KeyIndex = static_cast<int16_t>((s.KeyIndex + 1) & 3);
  return b;
}

// Returns the next input byte, or 0 with EndOfInput set when none can be had. The caller tests
// EndOfInput after each call; the 0 delivered with it is not data and is not summed.
inline uint8_t ReadByte(TCompThreadSafety& s) {
  if (s.InPos == s.InEnd) [[unlikely]] {
    if (!RefillInput(s)) return 0;
  }
  uint8_t b = *s.InPos++;
  s.InSum += b;
  if (s.UnscrambleInput) b = ScrambleByte(s, b);
  return b;
}

// Appends one byte to the output. The full buffer is written only when the next byte arrives.
inline void WriteByte(TCompThreadSafety& s, uint8_t b) {
  if (s.OutLimit <= 0) [[unlikely]]
    ThrowOutputLimit();
  --s.OutLimit;
  if (s.OutPos == s.OutEnd) [[unlikely]]
    WriteFullOutput(s);
  if (s.ScrambleOutput) b = ScrambleByte(s, b);
  *s.OutPos++ = b;
  s.OutSum += b;
  ++s.OutCount;
}

}  // namespace qobz
