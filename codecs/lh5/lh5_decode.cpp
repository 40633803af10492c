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
#include "codecs/lh5/lh5_decode.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "codecs/bit_stream.h"
#include "codecs/byte_runs.h"
#include "codecs/codecs.h"
#include "codecs/lh5/lh5_format.h"
#include "codecs/lh5/lh5_tables.h"
#include "qobz/errors.h"

namespace qobz {

using namespace lh5;

namespace {

[[noreturn]] void RefuseTable() {
  throw ELZHBadDecodeTable();
}

void BuildDecodeTable(TCompThreadSafety& s, uint16_t symbolCount, const uint8_t* lengths,
                      uint16_t tableBits, uint16_t* table, uint32_t* packed);
void ReadShortList(TCompThreadSafety& s, uint16_t entryCount, uint8_t countBits,
                   int32_t zeroRunAfter, uint32_t* packed);
void ReadSymbolList(TCompThreadSafety& s, uint32_t* packed);

// Reads a block header. The main and position codes also get the packed lookups of the fast
// loop: each entry holds the table value in its low 16 bits and the bits to consume at once above
// them (the code length for a symbol, the lookup width for a tree node).
void ReadBlockHeader(TCompThreadSafety& s) {
  TLH5Tables& t = *s.LH5;
  s.BlockRemaining = ReadBits(s, BlockSizeBits);
  ReadShortList(s, LengthCodeCount, LengthCountBits, LengthListZeroRunAfter, nullptr);
  ReadSymbolList(s, t.PackedSymbolTable.get());
  ReadShortList(s, PositionCodeCount, PositionCountBits, kNoZeroRun, t.PackedShortTable.get());
}

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

}  // namespace

void MakeDecodeTable(TCompThreadSafety& s, uint16_t symbolCount, const uint8_t* lengths,
                     uint16_t tableBits, uint16_t* table) {
  BuildDecodeTable(s, symbolCount, lengths, tableBits, table, nullptr);
}

namespace {

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
      if (sym == 1) zeros = ReadBits(s, ShortZeroRunBits) + ShortZeroRunBase;
      if (sym == 2) zeros = ReadBits(s, LongZeroRunBits) + LongZeroRunBase;
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

void ReadShortLengths(TCompThreadSafety& s, uint16_t entryCount, uint8_t countBits,
                      int32_t zeroRunAfter) {
  ReadShortList(s, entryCount, countBits, zeroRunAfter, nullptr);
}

void ReadSymbolLengths(TCompThreadSafety& s) {
  ReadSymbolList(s, nullptr);
}

uint16_t DecodeSymbol(TCompThreadSafety& s) {
  TLH5Tables& t = *s.LH5;
  if (s.BlockRemaining == 0) ReadBlockHeader(s);
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

namespace {

// Where the decoder stands in the output: bytes produced (64-bit: a last match may run up to 255
// bytes past a size near 2^31) and the ring position, which always equals the fill of the output
// buffer modulo 8192 because both start at 0 and advance together.
struct TProgress {
  int64_t produced = 0;
  uint32_t position = 0;
};

// One item through the specified flow.
void ExpandItem(TCompThreadSafety& s, uint8_t* window, TProgress& at) {
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

// Copies n bytes forward from src to dst, as a byte loop would: when src lies `distance` bytes
// before dst in the same buffer and distance < n, the pattern repeats. A source in another
// buffer is passed with its ring distance, which then only selects the copy width. May write up
// to kCopySlack - 1 bytes past dst + n and read as far past src + n; callers leave room for both.
inline uint8_t* CopyMatch(uint8_t* dst, const uint8_t* src, uint32_t distance, uint32_t n) {
  uint8_t* const end = dst + n;
  if (distance >= 16) {
    // Most matches are at most 32 bytes long: two unconditional 16-byte copies.
    std::memcpy(dst, src, 16);
    std::memcpy(dst + 16, src + 16, 16);
    if (n > 32) {
      dst += 32;
      src += 32;
      do {
        std::memcpy(dst, src, 16);
        dst += 16;
        src += 16;
      } while (dst < end);
    }
  } else if (distance >= 8) {
    do {
      std::memcpy(dst, src, 8);
      dst += 8;
      src += 8;
    } while (dst < end);
  } else if (distance == 1) {
    std::memset(dst, *src, n);
  } else {
    while (dst < end) *dst++ = *src++;
  }
  return end;
}

// Bits one item can take: a 16-bit main code, a 16-bit position code and 12 extra bits.
constexpr int32_t kMaxItemBits = 2 * MaxCodeLength + (PositionCodeCount - 2);
// A refill leaves at least this many bits in the 64-bit buffer.
constexpr int32_t kRefillBits = 56;
static_assert(kMaxItemBits <= kRefillBits, "an item must fit one refill");
// Bytes a refill loads from the input buffer.
constexpr int32_t kLoadBytes = 8;
// Room a wide match copy may use past its end.
constexpr int32_t kCopySlack = 32;

// The output side of the fast loop, touched only once per buffer and for matches that cross the
// end of the buffer.
struct TFastOutput {
  TCompThreadSafety& s;
  uint8_t* const window;
  uint8_t* const begin;
  uint8_t* const end;
  uint8_t* summed;    // bytes before this are in OutSum, OutCount and OutLimit
  uint8_t* mirrored;  // bytes before this (in this buffer round) are copied into the window

  void Account(uint8_t* op) {
    const auto n = static_cast<int32_t>(op - summed);
    s.OutSum += SumBytes(summed, op);
    s.OutCount += n;
    s.OutLimit -= n;
    s.OutPos = op;
    summed = op;
  }
  void Mirror(uint8_t* op) {
    std::memcpy(window + (mirrored - begin), mirrored, static_cast<size_t>(op - mirrored));
    mirrored = op;
  }
  // The byte that arrives at a full buffer goes through WriteByte, which writes the buffer out.
  // The window must hold the whole finished round first: the buffer is reused from its start.
  [[gnu::noinline]] uint8_t* PutAtFullBuffer(uint8_t* op, uint8_t b) {
    Account(op);
    Mirror(op);
    WriteByte(s, b);
    summed = s.OutPos;
    mirrored = begin;
    return s.OutPos;
  }
  // A match that may cross the end of the buffer, byte by byte. Ring position r holds this
  // round's byte when r is below the fill, else the previous round's byte in the window.
  [[gnu::noinline]] uint8_t* CopyAcrossEnd(uint8_t* op, uint32_t distance, uint32_t length) {
    uint32_t from = (static_cast<uint32_t>(op - begin) - distance) & WindowMask;
    for (uint32_t k = 0; k < length; ++k) {
      const auto fill = static_cast<uint32_t>(op - begin);
      const uint8_t b = from < fill ? begin[from] : window[from];
      if (op == end) {
        op = PutAtFullBuffer(op, b);
      } else {
        *op++ = b;
      }
      from = (from + 1) & WindowMask;
    }
    return op;
  }
  // A match whose source starts in the previous round, which the window holds; it may run on into
  // this round's first bytes at the same distance. The whole match fits before the end.
  [[gnu::noinline]] uint8_t* CopyFromWindow(uint8_t* op, uint32_t distance, uint32_t length) {
    const uint32_t from = WindowSize + static_cast<uint32_t>(op - begin) - distance;
    const uint32_t first = length < WindowSize - from ? length : WindowSize - from;
    std::memcpy(op, window + from, first);
    op += first;
    if (length > first) op = CopyMatch(op, op - distance, distance, length - first);
    return op;
  }
};

// Walks a code tree from node j (at least `count`, the alphabet size) by the bits at the top of
// bb, which holds the bits after the lookup. Returns the symbol.
[[gnu::noinline]] uint32_t WalkTree(uint32_t j, uint32_t count, uint64_t bb, const uint16_t* left,
                                    const uint16_t* right) {
  uint64_t mask = uint64_t{1} << 63;
  do {
    j = (bb & mask) ? right[j] : left[j];
    mask >>= 1;
  } while (j >= count);
  return j;
}

// The fast loop. Entry assumptions: EndOfInput is clear, output is not scrambled, a block is in
// progress (BlockRemaining > 0), OutLimit cannot run out before the item that reaches the
// unpacked size is written, and the output buffer holds the newest bytes of the ring at the
// positions below its fill, the window the others.
//
// It runs while at least kLoadBytes bytes remain in the input buffer, so it never needs a fetch:
// every byte it takes was already in the buffer, and on leaving it gives back the whole bytes it
// loaded beyond the specified reader's 16 bits of look-ahead. A full output buffer is handed to
// WriteByte at the byte that overflows it, as in the specified flow.
//
// kKeyed: the input is unscrambled on the way in; a separate instance keeps the key out of the
// unkeyed loop.
template <bool kKeyed>
void ExpandFast(TCompThreadSafety& s, TLH5Tables& t, int64_t size, TProgress& at) {
  const uint8_t* const in_begin = s.InPos;
  const uint8_t* const in_limit = s.InEnd - kLoadBytes;  // last place for an 8-byte load
  const uint8_t* ip = in_begin;

  // Key bytes for an 8-byte load at each of the four key phases (zero without a key).
  uint64_t key_words[4] = {0, 0, 0, 0};
  uint8_t key_bytes[4] = {0, 0, 0, 0};
  uint32_t key_phase = 0;  // key index of the byte at InputBuffer + 0
  if constexpr (kKeyed) {
    for (uint32_t phase = 0; phase < 4; ++phase) {
      key_bytes[phase] = s.KeyBytes[phase];
      for (uint32_t k = 0; k < 8; ++k) {
        key_words[phase] |= static_cast<uint64_t>(s.KeyBytes[(phase + k) & 3]) << (56 - 8 * k);
      }
    }
    key_phase = static_cast<uint32_t>(s.KeyIndex - (in_begin - s.InputBuffer)) & 3;
  }
  const uint8_t* const key_base = s.InputBuffer;

  // The 64-bit buffer: its top nbits bits are the next input bits; below them lie either zeros or
  // the correct following bits of a partly loaded byte.
  uint64_t bb =
      (static_cast<uint64_t>(s.BitBuffer) << 48) | (static_cast<uint64_t>(s.BitByte) << 40);
  int32_t nbits = 16 + s.BitCount;

  TFastOutput out{s, t.Window.get(), s.OutputBuffer, s.OutEnd, s.OutPos, s.OutPos};
  uint8_t* op = s.OutPos;
  uint8_t* const out_end = s.OutEnd;
  const uint32_t* const symbol_table = t.PackedSymbolTable.get();
  const uint32_t* const short_table = t.PackedShortTable.get();
  const uint16_t* const left = t.LeftChild.get();
  const uint16_t* const right = t.RightChild.get();
  const uint8_t* const symbol_lengths = t.SymbolLengths.get();
  const uint8_t* const short_lengths = t.ShortLengths;
  uint32_t remaining = s.BlockRemaining;
  int64_t left_to_produce = size - at.produced;

  auto refill = [&] {
    uint64_t word = LoadBigEndian64(ip);
    if constexpr (kKeyed) word ^= key_words[(ip - key_base + key_phase) & 3];
    bb |= word >> nbits;
    ip += (63 - nbits) >> 3;
    nbits |= kRefillBits;
  };
  // A main-alphabet code: at most 16 bits.
  auto decode_symbol = [&] {
    const uint32_t entry = symbol_table[bb >> (64 - SymbolTableBits)];
    uint32_t sym = entry & 0xFFFF;
    bb <<= entry >> 16;
    nbits -= static_cast<int32_t>(entry >> 16);
    if (sym >= SymbolCount) [[unlikely]] {
      sym = WalkTree(sym, SymbolCount, bb, left, right);
      const int32_t rest = symbol_lengths[sym] - SymbolTableBits;
      bb <<= rest;
      nbits -= rest;
    }
    return sym;
  };
  // A position code and its extra bits: at most 28 bits. Returns the distance d + 1.
  auto decode_distance = [&] {
    const uint32_t entry = short_table[bb >> (64 - ShortTableBits)];
    uint32_t j = entry & 0xFFFF;
    bb <<= entry >> 16;
    nbits -= static_cast<int32_t>(entry >> 16);
    if (j >= PositionCodeCount) [[unlikely]] {
      j = WalkTree(j, PositionCodeCount, bb, left, right);
      const int32_t rest = short_lengths[j] - ShortTableBits;
      bb <<= rest;
      nbits -= rest;
    }
    uint32_t distance = 1;
    if (j != 0) {
      const uint32_t extra_bits = j - 1;
      // (bb >> 1) >> (63 - n) is the top n bits, also for n = 0.
      distance += (1u << extra_bits) + static_cast<uint32_t>((bb >> 1) >> (63 - extra_bits));
      bb <<= extra_bits;
      nbits -= static_cast<int32_t>(extra_bits);
    }
    return distance;
  };

  // Two refills per round may be needed, so a round starts only with 2 * kLoadBytes in the
  // buffer; the rest of the buffer is left to single items below.
  const uint8_t* const in_limit_pair = in_limit - kLoadBytes;
  // Up to three symbols per refill: 56 bits hold three main codes (48 bits), and a match among
  // them gets a second refill for its position (at most 28 bits).
  constexpr uint32_t kRoundSymbols = 3;
  // Room for the literals of a round and a whole match with its copy slack.
  constexpr ptrdiff_t kRoundRoom = (kRoundSymbols - 1) + MaxMatch + kCopySlack;
  for (;;) {
    // Entry: 16 bytes of input, kRoundRoom bytes of output room, three items left in the block,
    // and more bytes to produce than a round writes, so no item of the round passes the end.
    // Rounds write only inside the buffer, so the bytes still to produce follow from op: both
    // output conditions become one bound on how far op may have moved.
    uint8_t* const round_start = op;
    const int64_t round_stop =
        std::min<int64_t>(out_end - op, left_to_produce) - static_cast<int64_t>(kRoundRoom);
    while (ip <= in_limit_pair && remaining >= kRoundSymbols && op - round_start <= round_stop) {
      refill();
      uint32_t sym = decode_symbol();  // nbits >= 40 after it
      --remaining;
      if (sym < LiteralCount) {
        *op++ = static_cast<uint8_t>(sym);
        sym = decode_symbol();  // nbits >= 24 after it
        --remaining;
        if (sym < LiteralCount) {
          *op++ = static_cast<uint8_t>(sym);
          sym = decode_symbol();  // nbits >= 8 after it
          --remaining;
          if (sym < LiteralCount) {
            *op++ = static_cast<uint8_t>(sym);
            continue;
          }
        }
        refill();  // the position needs up to 28 bits; ip moved at most 7 bytes since the check
      }
      const uint32_t length = sym - MatchSymbolOffset;
      const uint32_t distance = decode_distance();
      // The source lies in this round's output when distance <= fill, else in the window, which
      // holds the previous round; chosen without a branch. Only a window source that runs on into
      // this round needs two pieces.
      const auto fill = static_cast<uint32_t>(op - out.begin);
      const uint8_t* const src =
          distance <= fill ? op - distance : out.window + (WindowSize + fill - distance);
      if ((distance > fill) & (length + fill > distance)) [[unlikely]] {
        op = out.CopyFromWindow(op, distance, length);
      } else {
        op = CopyMatch(op, src, distance, length);
      }
    }
    left_to_produce -= op - round_start;

    // Single items near the ends of the buffers and of the block, one at a time, back to rounds
    // as soon as they can run again.
    if (ip > in_limit || remaining == 0 || left_to_produce <= 0) break;
    {
      refill();
      const uint32_t sym = decode_symbol();
      --remaining;
      if (sym < LiteralCount) {
        if (op != out_end) [[likely]] {
          *op++ = static_cast<uint8_t>(sym);
        } else {
          op = out.PutAtFullBuffer(op, static_cast<uint8_t>(sym));
        }
        --left_to_produce;
        continue;
      }
      const uint32_t length = sym - MatchSymbolOffset;
      const uint32_t distance = decode_distance();
      left_to_produce -= length;
      if (out_end - op >= static_cast<ptrdiff_t>(length + kCopySlack)) {
        if (distance <= static_cast<uint32_t>(op - out.begin)) {
          op = CopyMatch(op, op - distance, distance, length);
        } else {
          op = out.CopyFromWindow(op, distance, length);
        }
      } else {
        op = out.CopyAcrossEnd(op, distance, length);
      }
    }
  }
  // The specified reader always holds 16 bits. An item takes at most kMaxItemBits of a refill,
  // and the last refill left at least one byte in the buffer, which covers the rest.
  if (nbits < 16) {
    uint8_t byte = *ip;
    if constexpr (kKeyed) byte ^= key_bytes[(ip - key_base + key_phase) & 3];
    bb |= static_cast<uint64_t>(byte) << (56 - nbits);
    ++ip;
    nbits += 8;
  }
  // Give back the whole bytes loaded beyond those 16 bits; the rest of a byte stays in BitByte.
  const int32_t excess = nbits - 16;
  ip -= excess >> 3;
  s.BitCount = static_cast<uint8_t>(excess & 7);
  s.BitBuffer = static_cast<uint16_t>(bb >> 48);
  s.BitByte = static_cast<uint8_t>((bb >> 40) & (0xFF00u >> s.BitCount) & 0xFF);
  s.InSum += SumBytes(in_begin, ip);
  if constexpr (kKeyed) {
    s.KeyIndex = static_cast<int16_t>((s.KeyIndex + (ip - in_begin)) & 3);
  }
  s.InPos = const_cast<uint8_t*>(ip);

  out.Account(op);
  out.Mirror(op);
  s.BlockRemaining = static_cast<uint16_t>(remaining);
  at.produced = size - left_to_produce;
  at.position = static_cast<uint32_t>(op - out.begin) & WindowMask;
}

template <bool kFast>
void Expand(TCompThreadSafety& s, int32_t unpackedSize) {
  if (unpackedSize == 0) return;
  s.FetchCancelled = false;
  s.ZeroBytesPastEnd = 0;
  TLH5TablesHolder holder = LH5AllocTables(s, false);
  TLH5Tables& t = holder.Tables();
  ConsumeBits(s, 16);
  std::memset(t.Window.get(), WindowFill, WindowSize);
  TProgress at;
  const int64_t size = unpackedSize;
  while (at.produced < size) {
    if constexpr (kFast) {
      if (!s.EndOfInput && !s.ScrambleOutput && s.BlockRemaining != 0 &&
          s.InEnd - s.InPos >= kLoadBytes &&
          static_cast<int64_t>(s.OutLimit) >= size - at.produced + MaxMatch) {
        assert(static_cast<uint32_t>(s.OutPos - s.OutputBuffer) % WindowSize == at.position);
        s.UnscrambleInput ? ExpandFast<true>(s, t, size, at) : ExpandFast<false>(s, t, size, at);
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
