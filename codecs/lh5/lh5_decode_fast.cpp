// LH5 decoder, fast loop: whole items decoded inside the current input and output buffers, with
// a 64-bit bit buffer and packed lookups, leaving the codec state exactly as the specified flow in
// lh5_decode.cpp would (see there).
#include <algorithm>
#include <cstring>

#include "codecs/byte_runs.h"
#include "codecs/byte_stream.h"
#include "codecs/lh5/lh5_decode.h"
#include "codecs/lh5/lh5_format.h"
#include "codecs/lh5/lh5_tables.h"

namespace qobz {

using namespace lh5;

namespace {

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
constexpr int32_t kLoadBytes = LH5FastLoadBytes;
// Distance classes: class 0 is distance 1, class j >= 1 starts at 2^(j-1) + 1 and has j - 1
// extra bits.
struct TPositionClasses {
  uint8_t extra[PositionCodeCount];
  uint32_t base[PositionCodeCount];
};
constexpr TPositionClasses MakePositionClasses() {
  TPositionClasses c{};
  c.extra[0] = 0;
  c.base[0] = 1;
  for (int32_t j = 1; j < PositionCodeCount; ++j) {
    c.extra[j] = static_cast<uint8_t>(j - 1);
    c.base[j] = (1u << (j - 1)) + 1;
  }
  return c;
}
constexpr TPositionClasses kPositionClasses = MakePositionClasses();
constexpr const uint8_t (&kPositionExtraBits)[PositionCodeCount] = kPositionClasses.extra;
constexpr const uint32_t (&kPositionBase)[PositionCodeCount] = kPositionClasses.base;

// Room a wide match copy may use past its end.
constexpr int32_t kCopySlack = LH5WindowSlack;

// The output side of the fast loop, touched only once per buffer and for matches that cross the
// end of the buffer.
struct TFastOutput {
  TCompThreadSafety& s;
  TByteRuns& runs;  // the output side: bytes up to runs.Out() are in OutSum, OutCount, OutLimit
  uint8_t* const window;
  uint8_t* const begin;
  uint8_t* const end;
  uint8_t* mirrored;  // bytes before this (in this buffer round) are copied into the window

  void Account(uint8_t* op) {
    runs.SetOut(op);
    runs.CommitOutput();
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
    runs.Load();  // the input run is reloaded as it was: the loop's input is not committed yet
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

// Tried and measured slower (callgrind instructions of a whole `decode --method LH5`, 8 MiB of
// man pages / 3 MiB of random bytes, against 76.6M / 80.9M before):
// - Two short literals per main lookup (entries joined where both codes fit the 12 bits, up to
//   six literals a round, two bytes stored per lookup): 96.2M / 119.5M. Joining the entries
//   walks the 4096 lookups once per block header, which costs more than it saves with the blocks
//   the encoders write (header share 7% -> 20% / 10% -> 31%), and the loop itself grew too:
//   70.6M / 80.4M against 63.1M / 71.1M, even with the joining switched off.
// - A position's base and extra-bit count packed into its lookup entry, code and extra bits
//   consumed in one shift: 84.7M / 95.6M, also with the tree case moved out of line; the loop
//   (not the header) grew, by about four instructions a literal on random bytes. Tried again on
//   top of the literal-first rounds: 76.8M -> 79.5M (man pages), 73.8M -> 74.8M (random).
//   Taking the count and the mask out of the entry costs more shifts than the two small table
//   loads it replaces (one of them folds into the add).
// The refill is already branch-free (one 8-byte load, shifts and an or per refill).
// Kept: literals tested before tree roots in the rounds (random 80.9M -> 73.8M, man pages
// 76.5M -> 76.8M, a stripped libstdc++ 29.3M -> 28.7M).
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
void ExpandFast(TCompThreadSafety& s, TLH5Tables& t, int64_t size, TLH5Progress& at) {
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

  TByteRuns runs(s);
  TFastOutput out{s, runs, t.Window.get(), s.OutputBuffer, s.OutEnd, s.OutPos};
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
  // The first step of a main-alphabet code: a symbol, or a tree root after 12 bits.
  auto lookup_symbol = [&] {
    const uint32_t entry = symbol_table[bb >> (64 - SymbolTableBits)];
    bb <<= entry >> 16;
    nbits -= static_cast<int32_t>(entry >> 16);
    return entry & 0xFFFF;
  };
  // The symbol of a lookup that found a tree root: the walk takes the rest of the code.
  auto finish_symbol = [&](uint32_t sym) {
    if (sym >= SymbolCount) [[unlikely]] {
      sym = WalkTree(sym, SymbolCount, bb, left, right);
      const int32_t rest = symbol_lengths[sym] - SymbolTableBits;
      bb <<= rest;
      nbits -= rest;
    }
    return sym;
  };
  // A main-alphabet code: at most 16 bits.
  auto decode_symbol = [&] { return finish_symbol(lookup_symbol()); };
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
    // Without a branch on the class: class 0 reads as base 1 with no extra bits.
    const uint32_t extra_bits = kPositionExtraBits[j];
    // (bb >> 1) >> (63 - n) is the top n bits, also for n = 0.
    const uint32_t distance =
        kPositionBase[j] + static_cast<uint32_t>((bb >> 1) >> (63 - extra_bits));
    bb <<= extra_bits;
    nbits -= static_cast<int32_t>(extra_bits);
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
  // Input a round may take: two refills of at most kLoadBytes - 1 bytes.
  constexpr int64_t kRoundInput = 2 * (kLoadBytes - 1);
  for (;;) {
    // Entry: 16 bytes of input, kRoundRoom bytes of output room, three items left in the block,
    // and more bytes to produce than a round writes, so no item of the round passes the end.
    // Rounds write only inside the buffer, so the bytes still to produce follow from op: both
    // output conditions become one bound on how far op may have moved.
    uint8_t* const round_start = op;
    const int64_t round_stop =
        std::min<int64_t>(out_end - op, left_to_produce) - static_cast<int64_t>(kRoundRoom);
    // The rounds that the input and the block allow for certain are counted ahead, so a round
    // tests only the counter and the output bound.
    const uint8_t* const op_stop = op + std::max<int64_t>(round_stop, 0);
    while (round_stop >= 0 && op <= op_stop) {
      const int64_t by_input = ip <= in_limit_pair ? (in_limit_pair - ip) / kRoundInput + 1 : 0;
      uint32_t rounds =
          static_cast<uint32_t>(std::min<int64_t>(by_input, remaining / kRoundSymbols));
      if (rounds == 0) break;
      do {
        refill();
        // Literals are tested first and trees only after: a literal costs one test. A tree root's
        // lookup takes 12 bits, so after three lookups nbits >= 20 and the rest of its code is
        // still in bb, also across the refill below.
        uint32_t sym = lookup_symbol();
        --remaining;
        if (sym < LiteralCount) {
          *op++ = static_cast<uint8_t>(sym);
          sym = lookup_symbol();
          --remaining;
          if (sym < LiteralCount) {
            *op++ = static_cast<uint8_t>(sym);
            sym = lookup_symbol();
            --remaining;
            if (sym < LiteralCount) {
              *op++ = static_cast<uint8_t>(sym);
              continue;
            }
          }
          refill();  // the position needs up to 28 bits; ip moved at most 7 bytes since the check
        }
        sym = finish_symbol(sym);
        if (sym < LiteralCount) [[unlikely]] {  // a literal code longer than the lookup
          *op++ = static_cast<uint8_t>(sym);
          continue;
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
      } while (--rounds != 0 && op <= op_stop);
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
  runs.SetIn(ip);
  runs.CommitInput();

  out.Account(op);
  out.Mirror(op);
  s.BlockRemaining = static_cast<uint16_t>(remaining);
  at.produced = size - left_to_produce;
  at.position = static_cast<uint32_t>(op - out.begin) & WindowMask;
}

}  // namespace

void LH5ExpandFast(TCompThreadSafety& s, TLH5Tables& t, int64_t size, TLH5Progress& at) {
  s.UnscrambleInput ? ExpandFast<true>(s, t, size, at) : ExpandFast<false>(s, t, size, at);
}

}  // namespace qobz
