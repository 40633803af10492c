// LH5 decoder.
//
// Stream: blocks, most significant bit first, no header and no end marker; the entry header's
// unpacked size says when to stop. A block is a 16-bit item count (0 means 65536), the code
// lengths of the length alphabet (19 symbols), the main alphabet's lengths sent in that code
// (510 symbols: literals 0..255, matches of length symbol - 253), the lengths of the 14 distance
// classes, then the items. The window starts filled with spaces.
//
// Two ways through the same stream. The specified flow takes every bit through ConsumeBits and
// every byte through WriteByte into an 8192-byte ring. The fast loop does the same work inside the
// current input and output buffers: a 64-bit bit buffer loaded 8 bytes at a time from the input
// buffer, packed lookups, and match copies straight into the output buffer, which doubles as the
// newest part of the history. It leaves the codec state exactly as the specified flow would: the
// same input bytes fetched, the same sums, key index, bit reader fields and output bytes, and it
// never fetches or writes a buffer itself except through ReadByte/WriteByte's own routines at the
// byte where the specified flow does.
//
// This file holds the specified flow and the entry points; the block headers are read in
// lh5_decode_tables.cpp, the fast loop lives in lh5_decode_fast.cpp.
#include "codecs/lh5/lh5_decode.h"

#include <cassert>
#include <cstring>

#include "codecs/bit_stream.h"
#include "codecs/codecs.h"
#include "codecs/lh5/lh5_format.h"
#include "codecs/lh5/lh5_tables.h"

namespace qobz {

using namespace lh5;

namespace {

// The next main-alphabet symbol; reads a block header first when the block is used up.
uint16_t DecodeSymbol(TCompThreadSafety& s) {
  TLH5Tables& t = *s.LH5;
  if (s.BlockRemaining == 0) LH5ReadBlockHeader(s);
  --s.BlockRemaining;  // a block size of 0 thus gives 65536 items
  uint32_t sym = t.SymbolTable[s.BitBuffer >> (16 - SymbolTableBits)];
  if (sym < SymbolCount) {
    ConsumeBits(s, t.SymbolLengths[sym]);
  } else {
    ConsumeBits(s, SymbolTableBits);
    uint16_t mask = 0x8000;
    do {
      sym = (s.BitBuffer & mask) ? t.RightChild[sym] : t.LeftChild[sym];
      mask >>= 1;
    } while (sym >= SymbolCount);
    ConsumeBits(s, t.SymbolLengths[sym] - SymbolTableBits);
  }
  return static_cast<uint16_t>(sym);
}

// The next distance value d (0..8191): the match copies from d + 1 bytes back.
uint16_t DecodePosition(TCompThreadSafety& s) {
  TLH5Tables& t = *s.LH5;
  uint32_t j = t.ShortTable[s.BitBuffer >> (16 - ShortTableBits)];
  if (j < PositionCodeCount) {
    ConsumeBits(s, t.ShortLengths[j]);
  } else {
    ConsumeBits(s, ShortTableBits);
    uint16_t mask = 0x8000;
    do {
      j = (s.BitBuffer & mask) ? t.RightChild[j] : t.LeftChild[j];
      mask >>= 1;
    } while (j >= PositionCodeCount);
    ConsumeBits(s, t.ShortLengths[j] - ShortTableBits);
  }
  if (j == 0) return 0;
  return static_cast<uint16_t>((1u << (j - 1)) + ReadBits(s, static_cast<int>(j - 1)));
}

// One item through the specified flow.
void ExpandItem(TCompThreadSafety& s, uint8_t* window, TLH5Progress& at) {
  const uint16_t sym = DecodeSymbol(s);
  if (sym < LiteralCount) {
    window[at.position] = static_cast<uint8_t>(sym);
    WriteByte(s, static_cast<uint8_t>(sym));
    at.position = (at.position + 1) & WindowMask;
    ++at.produced;
    return;
  }
  const uint32_t length = sym - MatchSymbolOffset;
  const uint32_t distance = DecodePosition(s) + 1u;
  uint32_t source = (at.position - distance) & WindowMask;
  at.produced += length;
  // Byte by byte: a match reaching back less than its length repeats its own output.
  for (uint32_t k = 0; k < length; ++k) {
    const uint8_t b = window[source];
    window[at.position] = b;
    WriteByte(s, b);
    at.position = (at.position + 1) & WindowMask;
    source = (source + 1) & WindowMask;
  }
}

template <bool kFast>
void Expand(TCompThreadSafety& s, int32_t unpackedSize) {
  if (unpackedSize == 0) return;
  TLH5TablesHolder holder = LH5AllocTables(s);
  TLH5Tables& t = holder.Tables();
  ConsumeBits(s, 16);
  std::memset(t.Window.get(), WindowFill, WindowSize);
  TLH5Progress at;
  const int64_t size = unpackedSize;
  while (at.produced < size) {
    if constexpr (kFast) {
      if (!s.EndOfInput && !s.ScrambleOutput && s.BlockRemaining != 0 &&
          s.InEnd - s.InPos >= LH5FastLoadBytes &&
          static_cast<int64_t>(s.OutLimit) >= size - at.produced + MaxMatch) {
        assert(static_cast<uint32_t>(s.OutPos - s.OutputBuffer) % WindowSize == at.position);
        LH5ExpandFast(s, t, size, at);
        if (at.produced >= size) break;
      }
    }
    ExpandItem(s, t.Window.get(), at);
  }
}

}  // namespace

void LH5Expand(TCompThreadSafety& s, int32_t unpackedSize) {
  Expand<true>(s, unpackedSize);
}

void LH5ExpandBytewise(TCompThreadSafety& s, int32_t unpackedSize) {
  Expand<false>(s, unpackedSize);
}

}  // namespace qobz
