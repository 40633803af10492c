// Constants of the LH5 stream (the -lh5- method of the LHA format), shared by decoder and encoder.
//
// The stream is a sequence of blocks read most significant bit first, without a header or an end
// marker. Each block sends three canonical Huffman codes as lists of code lengths (the length
// alphabet, in which the main alphabet's lengths are sent; the main alphabet of literals and match
// lengths; the alphabet of distance classes) and then a counted run of items.
#pragma once

#include <cstdint>

namespace qobz::lh5 {

// History: a match reaches 1 to WindowSize bytes back. The decoder starts from a window of spaces.
constexpr int32_t WindowSize = 8192;
constexpr int32_t WindowMask = WindowSize - 1;
constexpr uint8_t WindowFill = 0x20;

// Main alphabet: literals 0..255, then matches of length symbol - 253.
constexpr int32_t LiteralCount = 256;
constexpr int32_t SymbolCount = 510;
constexpr int32_t MinMatch = 3;
constexpr int32_t MaxMatch = 256;
constexpr int32_t MatchSymbolOffset = LiteralCount - MinMatch;  // 253

// The alphabet in which the main code lengths are sent. Symbols 0..2 stand for zero runs
// (one zero; 3..18 zeros with a 4-bit count; 20..531 zeros with a 9-bit count), symbols 3..18 for
// the lengths 1..16.
constexpr int32_t LengthCodeCount = 19;
constexpr int32_t LengthSymbolOffset = 2;  // symbol = length + 2
constexpr int32_t ShortZeroRunBits = 4;
constexpr int32_t ShortZeroRunBase = 3;
constexpr int32_t LongZeroRunBits = 9;
constexpr int32_t LongZeroRunBase = 20;
constexpr int32_t OneZeroSymbol = 0;
constexpr int32_t ShortZeroRunSymbol = 1;
constexpr int32_t LongZeroRunSymbol = 2;
constexpr int32_t ShortZeroRunMax = ShortZeroRunBase + (1 << ShortZeroRunBits) - 1;  // 18
constexpr int32_t LongZeroRunMax = LongZeroRunBase + (1 << LongZeroRunBits) - 1;     // 531
// In the list of the length alphabet's own lengths a 2-bit zero-run field follows index 2.
constexpr int32_t LengthListZeroRunAfter = 3;
constexpr int32_t LengthListZeroRunBits = 2;

// Distance classes: class 0 is distance value 0, class j >= 1 is 2^(j-1) plus j-1 extra bits.
constexpr int32_t PositionCodeCount = 14;

// Field widths of a block header.
constexpr int32_t BlockSizeBits = 16;
constexpr int32_t LengthCountBits = 5;    // count of the length alphabet's lengths
constexpr int32_t SymbolCountBits = 9;    // count of the main alphabet's lengths
constexpr int32_t PositionCountBits = 4;  // count of the position alphabet's lengths

// Short code lengths 0..6 are sent in 3 bits; 7 and up as 111, L - 7 one bits and a zero.
constexpr int32_t ShortLengthBits = 3;
constexpr int32_t ShortLengthEscape = 7;

constexpr int32_t MaxCodeLength = 16;
// Code lengths of a complete code weigh 2^(16 - L) each and add up to exactly this.
constexpr uint32_t CompleteCodeTotal = 1u << MaxCodeLength;

// Lookup widths of the decoder's tables; longer codes continue in a tree.
constexpr int32_t SymbolTableBits = 12;
constexpr int32_t ShortTableBits = 8;

// Array sizes of the shared tables (one spare entry each, as the format's tables have).
constexpr int32_t ChildCount = 2 * SymbolCount;         // 1020: node numbers start at 510
constexpr int32_t SymbolLengthsSize = SymbolCount + 1;  // 511: a main list may send index 510
constexpr int32_t ShortLengthsSize = 129;
constexpr int32_t SymbolTableSize = (1 << SymbolTableBits) + 1;  // 4097
constexpr int32_t ShortTableSize = (1 << ShortTableBits) + 1;    // 257

}  // namespace qobz::lh5
