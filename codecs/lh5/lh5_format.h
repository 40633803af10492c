// Constants of the LH5 stream (the -lh5- block format of LHA), shared by decoder and encoder.
//
// The stream is a sequence of blocks, most significant bit first, with no header and no end
// marker. Each block carries its item count (16 bits), the code lengths of the length alphabet,
// of the main alphabet (sent in the length alphabet's code) and of the position alphabet, then
// its items: main-alphabet codes, each match followed by a position code and its extra bits.
#pragma once

#include <cstdint>

namespace qobz {

// Bytes of history; a match reaches 1 to 8192 bytes back.
constexpr int WindowSize = 8192;
// Main alphabet: 0..255 literal bytes, 256..509 matches of length symbol - 253.
constexpr int SymbolCount = 510;
constexpr int MinMatch = 3;
constexpr int MaxMatch = 256;
// Alphabet in which the main alphabet's code lengths are sent.
constexpr int LengthCodeCount = 19;
// Distance classes: the number of significant bits of distance - 1 (0..13).
constexpr int PositionCodeCount = 14;
// No code is longer than this.
constexpr int MaxCodeBits = 16;

// Widths of the count fields of the three code-length lists.
constexpr int LengthCountBits = 5;
constexpr int SymbolCountBits = 9;
constexpr int PositionCountBits = 4;
// In the length alphabet's list, the 2-bit zero-run field follows this many lengths.
constexpr int LengthZeroRunAfter = 3;

}  // namespace qobz
