// The steps of the LH5 decoder, for the encoder's tests and the decoder's own.
#pragma once

#include <cstdint>

#include "codecs/codec_state.h"

namespace qobz {

// zeroRunAfter for a short length list without the zero-run field.
constexpr int32_t kNoZeroRun = -1;

// Builds a lookup table of 2^tableBits entries and the trees below it from canonical code lengths.
// Raises ELZHBadDecodeTable unless the lengths form a complete code.
void MakeDecodeTable(TCompThreadSafety& s, uint16_t symbolCount, const uint8_t* lengths,
                     uint16_t tableBits, uint16_t* table);
// Reads a short length list (length or position alphabet) into ShortLengths and builds ShortTable.
void ReadShortLengths(TCompThreadSafety& s, uint16_t entryCount, uint8_t countBits,
                      int32_t zeroRunAfter);
// Reads the main length list into SymbolLengths and builds SymbolTable.
void ReadSymbolLengths(TCompThreadSafety& s);
// The next main-alphabet symbol; reads a block header first when the block is used up.
uint16_t DecodeSymbol(TCompThreadSafety& s);
// The next distance value d (0..8191): the match copies from d + 1 bytes back.
uint16_t DecodePosition(TCompThreadSafety& s);

// LH5Expand without its fast loop: every bit through ConsumeBits, every byte through WriteByte.
// Its observable behaviour is the reference that LH5Expand must match.
void LH5ExpandBytewise(TCompThreadSafety& s, int32_t unpackedSize);

}  // namespace qobz
