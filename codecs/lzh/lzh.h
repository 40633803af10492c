// LZH: LZSS over a 4096-byte ring whose literals and match lengths are coded with an adaptive
// Huffman code and whose match offsets get a fixed prefix code (the -lh1- method of LHA).
//
// Stream format. Codes are written most significant bit first: the first bit of the stream is bit
// 7 of its first byte. Nothing precedes the first code, no end symbol follows the last (the
// expander is told how many bytes to produce), and the last partial byte is padded with 0 bits.
// Symbols 0..255 are literal bytes; 256..313 are matches of length symbol - 253 (3..60), each
// followed by its offset (distance - 1, 0..4095): a 3..8-bit canonical prefix code for
// offset >> 6, then the low 6 bits plain. Both sides count every symbol in the same order, so
// their models stay identical; when the root weight reaches LzhFreqLimit the model is rebuilt
// with halved leaf weights first. Before the first symbol the ring holds spaces and the first
// data byte goes to LzhRingStart, so early matches may copy spaces.
//
// This header holds what the compressor and the expander share: constants, the working set, the
// model, the bit writer and reader, and the symbol and offset codes. The per-bit and per-symbol
// routines are inline because they are the whole cost of the method.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/byte_stream.h"

namespace qobz {

constexpr int LzhRingSize = 4096;
constexpr int LzhRingMask = LzhRingSize - 1;
constexpr int LzhMaxMatch = 60;      // longest match and length of the compressor's look-ahead
constexpr int LzhMinMatch = 3;       // shortest match sent as a match
constexpr int LzhSymbolCount = 314;  // 256 literals and 58 match lengths
constexpr int LzhNodeCount = 627;    // nodes of the Huffman tree, 2 * 314 - 1
constexpr int LzhRoot = 626;
constexpr uint16_t LzhFreqLimit = 0x8000;  // root weight at which the model is rebuilt
constexpr int LzhRingStart = LzhRingSize - LzhMaxMatch;  // ring position of the first data byte
constexpr uint8_t LzhRingFill = 0x20;                    // what the ring holds before the data
// The first symbol of a match: a match of length n is symbol n + LzhMatchSymbolBias.
constexpr int LzhMatchSymbolBias = 256 - LzhMinMatch;

// Entries of the working arrays. The ring carries a tail that mirrors positions 0..58, so that
// the compressor reads every 60-byte string at a position up to 4095 without wrapping.
constexpr int LzhRingEntries = LzhRingSize + LzhMaxMatch;
// Allocated beyond the entries so that string comparisons may load 8 bytes at a time up to byte
// index 59 of the string at 4095; the padding's content never decides a result.
constexpr int LzhRingPadding = 8;
constexpr int LzhTreeRightEntries = 2 * LzhRingSize + 2;  // positions, spare, 4096 roots, spare
constexpr int LzhTreeLeftEntries = LzhRingSize + 1;
constexpr int LzhTreeParentEntries = LzhRingSize + 2;
constexpr int LzhTreeSharedEntries = LzhRingSize + 2;
constexpr int LzhHuffChildEntries = LzhNodeCount + 1;
constexpr int LzhHuffParentEntries = LzhNodeCount + LzhSymbolCount + 1;
constexpr int LzhHuffFreqEntries = LzhNodeCount + 1;  // entry 627 is a sentinel

// Allocates the working set after clearing its fields; a failed allocation leaves the arrays
// allocated so far for LzhFreeWork.
void LzhAllocateWork(TCompThreadSafety& s);
// Releases each array of the working set that is allocated and clears its field.
void LzhFreeWork(TCompThreadSafety& s);

// Runs LzhFreeWork when a compressor or expander call ends, normally or by an exception.
class LzhWorkGuard {
 public:
  explicit LzhWorkGuard(TCompThreadSafety& s) : s_(s) {}
  ~LzhWorkGuard() { LzhFreeWork(s_); }
  LzhWorkGuard(const LzhWorkGuard&) = delete;
  LzhWorkGuard& operator=(const LzhWorkGuard&) = delete;

 private:
  TCompThreadSafety& s_;
};

// ---- Adaptive Huffman model ----
//
// Invariants: weights do not decrease with the index (node 626 is the root, 627 a sentinel of
// 0xFFFF); nodes 2k and 2k + 1 are siblings, so the code bit selecting a node is the lowest bit of
// its index; a parent has a higher index than its children.

// Puts the model in its start state and empties both bit accumulators.
void LzhStartModel(TCompThreadSafety& s);
// Halves the leaf weights (rounding up) and rebuilds the tree; ties go after existing nodes.
void LzhRebuildNodes(uint16_t* freq, int16_t* parent, int16_t* child);

// The last node of weight w from node from - 1 on, where node from - 1 weighs w. Weights do not
// decrease with the index, so the nodes of weight w form one run; the sentinel at 627 ends it.
// Runs are long when many symbols are about equally frequent (as with bytes that do not
// compress), so four weights are compared at once where the byte order allows.
inline int LzhLastOfWeight(const uint16_t* freq, int from, uint16_t w) {
  if constexpr (std::endian::native == std::endian::little) {
    const uint64_t pattern = 0x0001000100010001u * w;
    for (; from + 4 <= LzhHuffFreqEntries; from += 4) {
      uint64_t v;
      std::memcpy(&v, freq + from, sizeof v);
      if (v != pattern) return from + (std::countr_zero(v ^ pattern) >> 4) - 1;
    }
  }
  while (freq[from] == w) ++from;
  return from - 1;
}
// Node x has just reached weight f, more than node x + 1: it trades places (and subtrees) with
// the last node of its old weight, l, which is returned.
inline int LzhExchangeNodes(uint16_t* freq, int16_t* parent, int16_t* child, int x, uint16_t f) {
  const int l = LzhLastOfWeight(freq, x + 2, static_cast<uint16_t>(f - 1));
  freq[x] = freq[l];
  freq[l] = f;
  const int i = child[x];
  parent[i] = static_cast<int16_t>(l);
  if (i < LzhNodeCount) parent[i + 1] = static_cast<int16_t>(l);
  const int j = child[l];
  child[l] = static_cast<int16_t>(i);
  parent[j] = static_cast<int16_t>(x);
  if (j < LzhNodeCount) parent[j + 1] = static_cast<int16_t>(x);
  child[x] = static_cast<int16_t>(j);
  return l;
}

// The walk of LzhUpdateNodes from node x (not 0) up to the root.
inline void LzhContinueUpdate(uint16_t* freq, int16_t* parent, int16_t* child, int x) {
  // Links are 0..626: read unsigned (a type that may alias int16_t) into a pointer-sized index,
  // which spares a sign extension on each step of this chain of dependent loads.
  const uint16_t* const uparent = reinterpret_cast<const uint16_t*>(parent);
  size_t y = static_cast<size_t>(x);
  do {
    const uint16_t f = ++freq[y];
    if (f > freq[y + 1]) y = static_cast<size_t>(LzhExchangeNodes(freq, parent, child, y, f));
    y = uparent[y];
  } while (y != 0);
}

// Counts one occurrence of symbol: every node from its leaf to the root gains 1, and a node that
// would outweigh the next one first trades places with the last node of its old weight.
inline void LzhUpdateNodes(uint16_t* freq, int16_t* parent, int16_t* child, int symbol) {
  if (freq[LzhRoot] == LzhFreqLimit) [[unlikely]]
    LzhRebuildNodes(freq, parent, child);
  LzhContinueUpdate(freq, parent, child, parent[LzhNodeCount + symbol]);
}

inline void LzhUpdateModel(TCompThreadSafety& s, int symbol) {
  LzhUpdateNodes(s.HuffFreq.get(), s.HuffParent.get(), s.HuffChild.get(), symbol);
}

// ---- Bit writer ----

// Writes the top count (1..16) bits of bits; its other bits must be 0.
inline void LzhPutBits(TCompThreadSafety& s, int count, uint16_t bits) {
  s.LzhBitsOut = static_cast<uint16_t>(s.LzhBitsOut | (bits >> s.LzhBitsOutCount));
  s.LzhBitsOutCount = static_cast<uint8_t>(s.LzhBitsOutCount + count);
  if (s.LzhBitsOutCount >= 8) {
    WriteByte(s, static_cast<uint8_t>(s.LzhBitsOut >> 8));
    s.LzhBitsOutCount = static_cast<uint8_t>(s.LzhBitsOutCount - 8);
    if (s.LzhBitsOutCount >= 8) {
      WriteByte(s, static_cast<uint8_t>(s.LzhBitsOut));
      s.LzhBitsOutCount = static_cast<uint8_t>(s.LzhBitsOutCount - 8);
      s.LzhBitsOut = static_cast<uint16_t>(bits << (count - s.LzhBitsOutCount));
    } else {
      s.LzhBitsOut = static_cast<uint16_t>(s.LzhBitsOut << 8);
    }
  }
}

// Writes the last partial byte, padded with 0 bits.
inline void LzhFlushBits(TCompThreadSafety& s) {
  if (s.LzhBitsOutCount > 0) WriteByte(s, static_cast<uint8_t>(s.LzhBitsOut >> 8));
}

// ---- Bit reader ----
//
// Every request first takes in one byte if 8 bits or fewer are held; past the end of the input
// (or after a cancelled fetch) the bytes read as 0. A request of n bits leaves at most 15 bits
// held, so a valid stream, whose requests never ask for more bits than it holds, makes the reader
// take at most one byte past its end; a second means damage (NoteZeroByte).
constexpr int32_t LzhReaderLookAheadBytes = 1;

inline void LzhFillBitsIn(TCompThreadSafety& s) {
  if (s.LzhBitsInCount <= 8) {
    uint8_t b = ReadByte(s);
    if (s.EndOfInput) {
      b = 0;
      NoteZeroByte(s, LzhReaderLookAheadBytes);
    }
    s.LzhBitsIn = static_cast<uint16_t>(s.LzhBitsIn | (b << (8 - s.LzhBitsInCount)));
    s.LzhBitsInCount = static_cast<uint8_t>(s.LzhBitsInCount + 8);
  }
}

inline int LzhGetBits(TCompThreadSafety& s, int n) {
  LzhFillBitsIn(s);
  const int v = s.LzhBitsIn >> (16 - n);
  s.LzhBitsIn = static_cast<uint16_t>(s.LzhBitsIn << n);
  s.LzhBitsInCount = static_cast<uint8_t>(s.LzhBitsInCount - n);
  return v;
}

inline int LzhGetBit(TCompThreadSafety& s) {
  return LzhGetBits(s, 1);
}
inline int LzhGetByte(TCompThreadSafety& s) {
  return LzhGetBits(s, 8);
}

// ---- Symbol code ----

// The code of a symbol: the path from the root to its leaf, left-justified in 32 bits (the
// bit next to the root first), and its length. Trees deeper than 32 levels cannot occur: a node
// at depth d weighs at least the (d + 1)th Fibonacci number and the root stays below 32769.
struct LzhCode {
  uint32_t bits;
  int length;
};

inline LzhCode LzhSymbolCode(const int16_t* parent, int symbol) {
  uint32_t reg = 0;
  int length = 0;
  int k = parent[LzhNodeCount + symbol];
  do {
    reg = (reg >> 1) | (static_cast<uint32_t>(k & 1) << 31);
    ++length;
    k = parent[k];
  } while (k != LzhRoot);
  return {reg, length};
}

// Writes the symbol's current code, whole even when longer than 16 bits, then counts it.
inline void LzhEncodeSymbol(TCompThreadSafety& s, int symbol) {
  const LzhCode code = LzhSymbolCode(s.HuffParent.get(), symbol);
  if (code.length <= 16) {
    LzhPutBits(s, code.length, static_cast<uint16_t>(code.bits >> 16));
  } else {
    LzhPutBits(s, 16, static_cast<uint16_t>(code.bits >> 16));
    LzhPutBits(s, code.length - 16, static_cast<uint16_t>(code.bits & 0xFFFF));
  }
  LzhUpdateModel(s, symbol);
}

inline int LzhDecodeSymbol(TCompThreadSafety& s) {
  const int16_t* child = s.HuffChild.get();
  int x = child[LzhRoot];
  while (x < LzhNodeCount) x = child[x + LzhGetBit(s)];
  const int symbol = x - LzhNodeCount;
  LzhUpdateModel(s, symbol);
  return symbol;
}

// ---- Offset code ----
//
// The high six bits h of an offset get a canonical prefix code: h = 0 has 3 bits, 1..3 have 4,
// 4..11 have 5, 12..23 have 6, 24..47 have 7, 48..63 have 8; codes of one length are consecutive
// and the first code of a longer group is the previous code plus one, shifted left.

struct LzhOffsetTables {
  std::array<uint8_t, 64> length{};        // code length of h
  std::array<uint8_t, 64> code{};          // code of h, left-justified in a byte
  std::array<uint8_t, 256> high{};         // h whose code is the top bits of a byte
  std::array<uint8_t, 256> high_length{};  // that code's length
};

constexpr LzhOffsetTables MakeLzhOffsetTables() {
  constexpr int kLastHighOfLength[] = {0, 0, 0, 0, 3, 11, 23, 47, 63};  // by code length
  LzhOffsetTables t;
  int code = 0;
  int length = 3;
  for (int h = 0; h < 64; ++h) {
    if (h > 0) {
      ++code;
      if (h > kLastHighOfLength[length]) {
        ++length;
        code <<= 1;
      }
    }
    t.length[h] = static_cast<uint8_t>(length);
    t.code[h] = static_cast<uint8_t>(code << (8 - length));
    for (int low = 0; low < (1 << (8 - length)); ++low) {
      t.high[t.code[h] + low] = static_cast<uint8_t>(h);
      t.high_length[t.code[h] + low] = static_cast<uint8_t>(length);
    }
  }
  return t;
}

inline constexpr LzhOffsetTables LzhOffsetTable = MakeLzhOffsetTables();

static_assert(LzhOffsetTable.code[0] == 0 && LzhOffsetTable.code[1] == 32 &&
              LzhOffsetTable.code[2] == 48 && LzhOffsetTable.code[3] == 64 &&
              LzhOffsetTable.code[4] == 80 && LzhOffsetTable.code[5] == 88 &&
              LzhOffsetTable.code[6] == 96);
static_assert(LzhOffsetTable.code[60] == 252 && LzhOffsetTable.code[61] == 253 &&
              LzhOffsetTable.code[62] == 254 && LzhOffsetTable.code[63] == 255);
static_assert(LzhOffsetTable.code[11] == 0b10001000 && LzhOffsetTable.code[12] == 0b10010000 &&
              LzhOffsetTable.code[23] == 0b10111100 && LzhOffsetTable.code[24] == 0b11000000 &&
              LzhOffsetTable.code[47] == 0b11101110 && LzhOffsetTable.code[48] == 0b11110000);

inline void LzhEncodeOffset(TCompThreadSafety& s, int offset) {
  const int h = offset >> 6;
  LzhPutBits(s, LzhOffsetTable.length[h], static_cast<uint16_t>(LzhOffsetTable.code[h] << 8));
  LzhPutBits(s, 6, static_cast<uint16_t>((offset & 63) << 10));
}

inline int LzhDecodeOffset(TCompThreadSafety& s) {
  const int b = LzhGetByte(s);
  const int h = LzhOffsetTable.high[b];
  const int rest = LzhOffsetTable.high_length[b] - 2;  // bits still to read for the low part
  const int e = LzhGetBits(s, rest);
  return (h << 6) | (((b << rest) | e) & 63);
}

// ---- Compressor's search trees (see encoder.cpp) ----

constexpr int LzhNoNode = LzhRingSize;  // the empty link
constexpr int LzhTreeRootBase = LzhRingSize + 1;

void LzhInitTrees(TCompThreadSafety& s);
void LzhInsertPosition(TCompThreadSafety& s, int r);
void LzhDeletePosition(TCompThreadSafety& s, int p);
void LzhMeasureShared(TCompThreadSafety& s, int start, int other, int node);
void LzhInheritShared(TCompThreadSafety& s, int parent, int removed, int child);

}  // namespace qobz
