// LH5 decoder, block headers: the three code-length lists of a block and the lookup tables and
// trees built from them.
//
// A list is refused (ELZHBadDecodeTable) unless it describes a complete prefix code: the checks
// keep every table fill and tree walk inside its arrays whatever the stream holds.
#include <cstring>

#include "codecs/bit_stream.h"
#include "codecs/lh5/lh5_decode.h"
#include "codecs/lh5/lh5_format.h"
#include "codecs/lh5/lh5_tables.h"
#include "qobz/errors.h"

namespace qobz {

using namespace lh5;

namespace {

// zeroRunAfter for a short length list without the zero-run field.
constexpr int32_t kNoZeroRun = -1;

[[noreturn]] void RefuseTable() {
  throw ELZHBadDecodeTable();
}

void BuildDecodeTable(TCompThreadSafety& s, uint16_t symbolCount, const uint8_t* lengths,
                      uint16_t tableBits, uint16_t* table, uint32_t* packed);
void ReadShortList(TCompThreadSafety& s, uint16_t entryCount, uint8_t countBits,
                   int32_t zeroRunAfter, uint32_t* packed);
void ReadSymbolList(TCompThreadSafety& s, uint32_t* packed);

}  // namespace

// Reads a block header. The main and position codes also get the packed lookups of the fast
// loop: each entry holds the table value in its low 16 bits and the bits to consume at once above
// them (the code length for a symbol, the lookup width for a tree node).
void LH5ReadBlockHeader(TCompThreadSafety& s) {
  TLH5Tables& t = *s.LH5;
  s.BlockRemaining = ReadBits(s, BlockSizeBits);
  ReadShortList(s, LengthCodeCount, LengthCountBits, LengthListZeroRunAfter, nullptr);
  ReadSymbolList(s, t.PackedSymbolTable.get());
  ReadShortList(s, PositionCodeCount, PositionCountBits, kNoZeroRun, t.PackedShortTable.get());
}

namespace {

// Fills entries [from, to) of a lookup table and of its packed form.
// A code's range has a power-of-two size and starts at a multiple of it, so ranges of 8 or more
// entries are filled in whole groups of 8, which the compiler turns into wide stores; that is
// most of the table work of a block of short codes.
inline void FillEntries(uint16_t* table, uint32_t* packed, uint32_t from, uint32_t to,
                        uint16_t value, uint32_t bits) {
  const uint32_t entry = value | (bits << 16);
  if ((to - from) % 8 == 0) {
    uint16_t values[8];
    uint32_t entries[8];
    for (uint32_t k = 0; k < 8; ++k) {
      values[k] = value;
      entries[k] = entry;
    }
    for (uint32_t i = from; i < to; i += 8) std::memcpy(table + i, values, sizeof values);
    if (packed != nullptr) {
      for (uint32_t i = from; i < to; i += 8) std::memcpy(packed + i, entries, sizeof entries);
    }
    return;
  }
  for (uint32_t i = from; i < to; ++i) table[i] = value;
  if (packed != nullptr) {
    for (uint32_t i = from; i < to; ++i) packed[i] = entry;
  }
}

void BuildDecodeTable(TCompThreadSafety& s, uint16_t symbolCount, const uint8_t* lengths,
                      uint16_t tableBits, uint16_t* table, uint32_t* packed) {
  TLH5Tables& t = *s.LH5;
  uint16_t count[MaxCodeLength + 1] = {};
  uint16_t weight[MaxCodeLength + 1];
  uint16_t start[MaxCodeLength + 2];
  for (uint32_t ch = 0; ch < symbolCount; ++ch) {
    // Longer lengths are refused where they are read; this keeps the arrays safe regardless.
    if (lengths[ch] > MaxCodeLength) RefuseTable();
    ++count[lengths[ch]];
  }
  uint32_t total = 0;
  start[1] = 0;
  for (int32_t len = 1; len <= MaxCodeLength; ++len) {
    weight[len] = static_cast<uint16_t>(1u << (MaxCodeLength - len));
    total += static_cast<uint32_t>(count[len]) * weight[len];
    start[len + 1] = static_cast<uint16_t>(start[len] + weight[len] * count[len]);
  }
  // The format's own check is the 16-bit total. It lets through lists of all zero lengths and
  // over-full lists whose total is a multiple of 65536; both would send the table fill and the
  // tree walks outside the tables, so only a complete code is accepted.
  if (start[MaxCodeLength + 1] != 0 || total != CompleteCodeTotal) RefuseTable();

  const int32_t jut = MaxCodeLength - tableBits;
  for (int32_t len = 1; len <= tableBits; ++len) {
    start[len] = static_cast<uint16_t>(start[len] >> jut);
    weight[len] = static_cast<uint16_t>(weight[len] >> jut);
  }
  // Entries from here on are roots of the trees of longer codes.
  const uint32_t table_size = 1u << tableBits;
  uint32_t first_root = static_cast<uint32_t>(start[tableBits + 1] >> jut);
  if (first_root != 0) {
    for (uint32_t i = first_root; i < table_size; ++i) table[i] = 0;
  }

  uint16_t* const left = t.LeftChild.get();
  uint16_t* const right = t.RightChild.get();
  uint32_t avail = symbolCount;  // next free tree node; 0 is never a node, so 0 marks "none"
  const uint16_t branch_bit = static_cast<uint16_t>(1u << (15 - tableBits));
  for (uint32_t ch = 0; ch < symbolCount; ++ch) {
    const int32_t len = lengths[ch];
    if (len == 0) continue;
    const uint16_t next = static_cast<uint16_t>(start[len] + weight[len]);
    if (len <= tableBits) {
      FillEntries(table, packed, start[len], next, static_cast<uint16_t>(ch),
                  static_cast<uint32_t>(len));
    } else {
      uint16_t k = start[len];
      uint16_t* slot = &table[k >> jut];
      for (int32_t step = len - tableBits; step > 0; --step) {
        if (*slot == 0) {
          // A complete code never needs more nodes than symbols; the check guards the arrays.
          if (avail >= static_cast<uint32_t>(ChildCount)) RefuseTable();
          left[avail] = right[avail] = 0;
          *slot = static_cast<uint16_t>(avail++);
        } else if (*slot < symbolCount) {
          RefuseTable();  // a code that runs through a shorter one: not a prefix code
        }
        slot = (k & branch_bit) ? &right[*slot] : &left[*slot];
        k = static_cast<uint16_t>(k << 1);
      }
      *slot = static_cast<uint16_t>(ch);
    }
    start[len] = next;
  }
  // Tree roots: the lookup consumes its width, the walk the rest.
  if (packed != nullptr && first_root != 0) {
    for (uint32_t i = first_root; i < table_size; ++i)
      packed[i] = table[i] | (uint32_t{tableBits} << 16);
  }
}

void ReadShortList(TCompThreadSafety& s, uint16_t entryCount, uint8_t countBits,
                   int32_t zeroRunAfter, uint32_t* packed) {
  TLH5Tables& t = *s.LH5;
  const uint32_t n = ReadBits(s, countBits);
  if (n == 0) {
    const uint16_t only = ReadBits(s, countBits);
    if (only >= entryCount) RefuseTable();  // would reach the tree walks as a node number
    std::memset(t.ShortLengths, 0, entryCount);
    FillEntries(t.ShortTable.get(), packed, 0, 1u << ShortTableBits, only, 0);
    return;
  }
  // n < 32 and the zero run adds at most 3: always inside ShortLengths.
  uint32_t i = 0;
  while (i < n) {
    int32_t len = s.BitBuffer >> (16 - ShortLengthBits);
    if (len == ShortLengthEscape) {
      for (uint16_t mask = 1u << (15 - ShortLengthBits); (s.BitBuffer & mask) != 0; mask >>= 1) {
        ++len;
      }
    }
    // The escape form reaches 20; codes are at most 16 bits long.
    if (len > MaxCodeLength) RefuseTable();
    // The escape form 111, then len - 7 ones and a zero, is len - 3 bits long.
    ConsumeBits(s, len < ShortLengthEscape ? ShortLengthBits : len - 3);
    t.ShortLengths[i++] = static_cast<uint8_t>(len);
    if (static_cast<int32_t>(i) == zeroRunAfter) {
      for (uint32_t z = ReadBits(s, LengthListZeroRunBits); z > 0; --z) t.ShortLengths[i++] = 0;
    }
  }
  while (i < entryCount) t.ShortLengths[i++] = 0;
  BuildDecodeTable(s, entryCount, t.ShortLengths, ShortTableBits, t.ShortTable.get(), packed);
}

void ReadSymbolList(TCompThreadSafety& s, uint32_t* packed) {
  TLH5Tables& t = *s.LH5;
  uint8_t* const lengths = t.SymbolLengths.get();
  const uint32_t n = ReadBits(s, SymbolCountBits);
  if (n == 0) {
    const uint16_t only = ReadBits(s, SymbolCountBits);
    if (only >= SymbolCount) RefuseTable();
    std::memset(lengths, 0, SymbolCount);
    FillEntries(t.SymbolTable.get(), packed, 0, 1u << SymbolTableBits, only, 0);
    return;
  }
  uint32_t i = 0;
  while (i < n) {
    // The length-alphabet lookup looks past its 8 bits without consuming them first.
    uint32_t sym = t.ShortTable[s.BitBuffer >> (16 - ShortTableBits)];
    for (uint16_t mask = 1u << (15 - ShortTableBits); sym >= LengthCodeCount; mask >>= 1) {
      sym = (s.BitBuffer & mask) ? t.RightChild[sym] : t.LeftChild[sym];
    }
    ConsumeBits(s, t.ShortLengths[sym]);
    if (sym <= LengthSymbolOffset) {  // symbols 0..2 are zero runs
      uint32_t zeros = 1;
      if (sym == ShortZeroRunSymbol) zeros = ReadBits(s, ShortZeroRunBits) + ShortZeroRunBase;
      if (sym == LongZeroRunSymbol) zeros = ReadBits(s, LongZeroRunBits) + LongZeroRunBase;
      // The list has room for 511 entries (index 510 is read and ignored); a longer run would
      // write past it.
      if (i + zeros > static_cast<uint32_t>(SymbolLengthsSize)) RefuseTable();
      std::memset(lengths + i, 0, zeros);
      i += zeros;
    } else {
      lengths[i++] = static_cast<uint8_t>(sym - LengthSymbolOffset);
    }
  }
  while (i < static_cast<uint32_t>(SymbolCount)) lengths[i++] = 0;
  BuildDecodeTable(s, SymbolCount, lengths, SymbolTableBits, t.SymbolTable.get(), packed);
}

}  // namespace

}  // namespace qobz
