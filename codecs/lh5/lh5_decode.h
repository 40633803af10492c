// The LH5 decoder's parts: the block header reader (lh5_decode_tables.cpp), the specified flow
// and the entry points (lh5_decode.cpp), the fast loop (lh5_decode_fast.cpp).
#pragma once

#include <cstdint>

#include "codecs/codec_state.h"
#include "codecs/lh5/lh5_tables.h"

namespace qobz {

// Where the decoder stands in the output: bytes produced (64-bit: a last match may run up to 255
// bytes past a size near 2^31) and the ring position, which always equals the fill of the output
// buffer modulo 8192 because both start at 0 and advance together.
struct TLH5Progress {
  int64_t produced = 0;
  uint32_t position = 0;
};

// Reads a block header: BlockRemaining, then the three length lists, from which it builds the
// lookup tables and trees of s.LH5 (the main and position codes also in the fast loop's packed
// form). Raises ELZHBadDecodeTable unless each list is a complete prefix code.
void LH5ReadBlockHeader(TCompThreadSafety& s);

// The fast loop runs only while this many input bytes are in the buffer: one refill's load.
constexpr int32_t LH5FastLoadBytes = 8;

// The fast loop, from the state the specified flow left to the state it would leave. Entry
// assumptions: EndOfInput clear, output not scrambled, a block in progress, at least
// LH5FastLoadBytes input bytes in the buffer, and OutLimit not reachable before size bytes plus
// one longest match are out.
void LH5ExpandFast(TCompThreadSafety& s, TLH5Tables& t, int64_t size, TLH5Progress& at);

// LH5Expand without its fast loop: every bit through ConsumeBits, every byte through WriteByte.
// Its observable behaviour is the reference that LH5Expand must match.
void LH5ExpandBytewise(TCompThreadSafety& s, int32_t unpackedSize);

}  // namespace qobz
