// LzhExpand: decodes symbols until the requested number of bytes is out.
//
// Past the end of the packed data every bit reads as 0. A stream that needs more bits than it
// holds is damaged and raises EBadChecksum (see the bit reader in lzh.h); after a cancelled fetch
// decoding goes on from zero bits until count bytes are out. The count is tested only before each
// symbol, so the last match of a damaged stream may carry the output up to 59 bytes past it.
//
// Unlike the compressor, which only ever reaches 4036 positions back, a stream from elsewhere may
// use offsets up to 4095 from the first symbol on; the whole ring therefore starts as spaces, not
// just the positions before LzhRingStart. Valid streams decode the same either way.
#include <bit>
#include <cstddef>
#include <cstring>

#include "codecs/byte_runs.h"
#include "codecs/codecs.h"
#include "codecs/lzh/lzh.h"

namespace qobz {

namespace {

// The expansion loop on the codec state's own fields: the bit reader and WriteByte of the model
// header. It runs when a key scrambles either side, and it is the reference that ExpandPlain
// must match in every observable effect.
void ExpandBytewise(TCompThreadSafety& s, int32_t count) {
  uint8_t* ring = s.LzhRing.get();
  int r = LzhRingStart;
  int64_t produced = 0;  // a last match may carry it past 2^31 - 1
  while (produced < count) {
    const int symbol = LzhDecodeSymbol(s);
    if (symbol < 256) {
      WriteByte(s, static_cast<uint8_t>(symbol));
      ring[r] = static_cast<uint8_t>(symbol);
      r = (r + 1) & LzhRingMask;
      ++produced;
    } else {
      const int length = symbol - LzhMatchSymbolBias;
      const int start = r - LzhDecodeOffset(s) - 1;
      for (int k = 0; k < length; ++k) {
        const uint8_t b = ring[(start + k) & LzhRingMask];
        WriteByte(s, b);
        ring[r] = b;
        r = (r + 1) & LzhRingMask;
      }
      produced += length;
    }
  }
}

// How many bytes the reference reader fetches over k requests of one bit each when it starts with
// h bits held: it fetches at every request that finds 8 bits or fewer.
struct LzhWalkFetches {
  uint8_t n[17][64];
};
constexpr LzhWalkFetches MakeLzhWalkFetches() {
  LzhWalkFetches t{};
  for (int h0 = 0; h0 <= 16; ++h0) {
    int h = h0;
    int fetched = 0;
    for (int k = 0; k < 64; ++k) {
      t.n[h0][k] = static_cast<uint8_t>(fetched);
      if (h <= 8) {
        h += 8;
        ++fetched;
      }
      --h;
    }
  }
  return t;
}
inline constexpr LzhWalkFetches kWalkFetches = MakeLzhWalkFetches();
static_assert(kWalkFetches.n[0][1] == 1 && kWalkFetches.n[0][2] == 2 &&
              kWalkFetches.n[16][8] == 0 && kWalkFetches.n[9][2] == 1 &&
              kWalkFetches.n[16][9] == 1);

// LzhUpdateNodes for the symbol just decoded, whose leaf was reached through path[1..depth].
// Until the first exchange the walk up from the leaf visits exactly those nodes in reverse, so
// their parents need not be loaded one after the other; from an exchange on, and after a rebuild,
// the walk follows the parent links as usual.
inline void UpdateAlongPath(uint16_t* freq, int16_t* parent, int16_t* child, int symbol,
                            const int16_t* path, int depth) {
  if (freq[LzhRoot] == LzhFreqLimit) [[unlikely]] {
    LzhUpdateNodes(freq, parent, child, symbol);
    return;
  }
  for (int j = depth; j >= 0; --j) {
    int x = path[j];
    const uint16_t f = ++freq[x];
    if (f > freq[x + 1]) [[unlikely]] {
      x = parent[LzhExchangeNodes(freq, parent, child, x, f)];
      if (x != 0) LzhContinueUpdate(freq, parent, child, x);
      return;
    }
  }
}

// The same loop with the byte layer and the bit reader held in locals, and with the bits read
// ahead from the input buffer into a 64-bit register while the buffer holds enough of them.
//
// What the reader takes from the byte layer must stay exactly what LzhGetBit and friends take:
// the refill of the input buffer, with its progress report, has to happen at the same request,
// after the same output. So the loop runs two counts side by side: the bits really held in
// `acc` (`acc_bits`, read up to `load`), and the reference reader's own state, `held` bits
// taken from the bytes before `ref_in`. Every request of the reference reader (one per code bit,
// one for the offset's byte, one for its last bits) takes one byte first if it holds 8 bits or
// fewer; `ref_in` and `held` follow that rule by arithmetic. The read-ahead only runs while
// no request of the next symbol can reach the end of the buffer (a symbol is at most 32 code bits
// and 14 offset bits, so at most 7 bytes of the reference reader) and no fetch was cancelled;
// otherwise `acc` is cut back to the reference's bits and the loop fetches byte by byte through
// the byte layer. Bytes are summed into InSum and OutSum when the state is written back.
//
// Output goes straight into the output buffer; a match is copied without tests per byte when
// both the buffer and the output limit have room for all of it. The locals are written back
// before anything that may look at the state (a refill, a full-buffer write, the output limit)
// and at the end.
void ExpandPlain(TCompThreadSafety& s, int32_t count) {
  uint8_t* const ring = s.LzhRing.get();
  uint16_t* const freq = s.HuffFreq.get();
  int16_t* const parent = s.HuffParent.get();
  int16_t* const child = s.HuffChild.get();
  // Links are 0..940: the same values read unsigned (a type that may alias int16_t).
  const uint16_t* const uchild = reinterpret_cast<const uint16_t*>(child);

  int held = s.LzhBitsInCount;
  uint64_t acc = static_cast<uint64_t>(s.LzhBitsIn) << 48;  // left-justified
  int acc_bits = held;
  // The byte layer's bookkeeping (sums, counts, limit) is done by the bulk runs' commit, for
  // every byte between two write-backs at once.
  TByteRuns runs(s);
  const uint8_t* ref_in = s.InPos;
  const uint8_t* load_at = ref_in;
  const uint8_t* in_end = s.InEnd;
  bool end_of_input = s.EndOfInput;
  uint8_t* out = s.OutPos;
  uint8_t* out_end = s.OutEnd;
  int32_t out_limit = s.OutLimit;

  // Back to the reference reader's bits only.
  auto cut_back = [&] {
    acc &= held == 0 ? 0 : ~(~uint64_t{0} >> held);
    acc_bits = held;
    load_at = ref_in;
  };
  auto store = [&] {
    runs.SetIn(ref_in);
    runs.SetOut(out);
    runs.Commit();
    s.LzhBitsIn = static_cast<uint16_t>((acc >> 48) & ~(0xFFFFu >> held));
    s.LzhBitsInCount = static_cast<uint8_t>(held);
  };
  // After a fetch through the byte layer (the reader holds only the reference's bits then).
  auto load = [&] {
    runs.Load();
    ref_in = load_at = runs.In();
    in_end = s.InEnd;
    end_of_input = s.EndOfInput;
    out = runs.Out();
    out_end = s.OutEnd;
  };
  // One request of n bits by the reference reader, byte by byte (acc holds exactly its bits).
  auto fill = [&] {
    if (held > 8) return;
    uint64_t b;
    if (ref_in != in_end) [[likely]] {
      b = *ref_in++;
      // Bytes of a cancelled fetch: counted by nothing, since the run was cancelled.
      if (end_of_input) b = 0;
    } else {
      store();
      b = ReadByte(s);
      if (s.EndOfInput) {
        b = 0;
        NoteZeroByte(s, LzhReaderLookAheadBytes);
      }
      load();
    }
    acc |= b << (56 - held);
    held += 8;
    acc_bits = held;
    load_at = ref_in;
  };
  auto take_slow = [&](int n) {
    fill();
    const int v = static_cast<int>(acc >> (64 - n));
    acc <<= n;
    held -= n;
    acc_bits = held;
    return v;
  };
  // The reference reader's bookkeeping for one request of n bits in the read-ahead mode.
  auto account = [&](int n) {
    const int fetch = held <= 8;
    ref_in += fetch;
    held += 8 * fetch - n;
  };
  auto take_fast = [&](int n) {
    account(n);
    const int v = static_cast<int>(acc >> (64 - n));
    acc <<= n;
    acc_bits -= n;
    return v;
  };
  auto put = [&](uint8_t b) {
    if (out_limit <= 0 || out == out_end) [[unlikely]] {
      store();
      WriteByte(s, b);
      runs.Load();
      out = runs.Out();
      out_end = s.OutEnd;
      out_limit = s.OutLimit;
      return;
    }
    --out_limit;
    *out++ = b;
  };

  // A match is built in the output buffer with copies of fixed size: kCopyRead bytes from the
  // ring (allocated with that much past any position), or 8-byte steps that may run 7 bytes past
  // the match. What lands past its end is overwritten later.
  constexpr int kCopyRead = 64;
  constexpr int kCopySlack = LzhMaxMatch + 8;
  static_assert(LzhRingSize - 1 + kCopyRead <= LzhRingEntries + LzhRingPadding);
  static_assert(kCopyRead >= LzhMaxMatch && kCopySlack >= kCopyRead);

  // Bytes the reference reader may still fetch, and that the read-ahead may load, in one symbol.
  constexpr int kSymbolBytes = 8;

  // The nodes of the last code, from the root (path[0]) down to the symbol's leaf.
  int16_t path[64];
  path[0] = LzhRoot;
  int r = LzhRingStart;
  int64_t produced = 0;  // a last match may carry it past 2^31 - 1
  while (produced < count) {
    int symbol;
    int offset = 0;
    int depth = 0;
    if (!end_of_input && in_end - ref_in >= kSymbolBytes && in_end - load_at >= kSymbolBytes)
        [[likely]] {
      // Read-ahead: at least 56 bits in acc, enough for the longest code and its offset.
      acc |= LoadBigEndian64(load_at) >> acc_bits;
      load_at += (63 - acc_bits) >> 3;
      acc_bits |= 56;
      // Unsigned 16-bit loads and a pointer-sized index: no sign extension on the chain of
      // dependent loads that the walk is.
      size_t x = uchild[LzhRoot];
      int k = 0;
      while (x < LzhNodeCount) {
        const size_t node = x + static_cast<size_t>(acc >> 63);
        path[++k] = static_cast<int16_t>(node);
        x = uchild[node];
        acc <<= 1;
      }
      // k requests of one bit: the reference takes a byte at each that finds 8 bits or fewer.
      depth = k;
      const int fetched = kWalkFetches.n[held][k];
      ref_in += fetched;
      held += 8 * fetched - k;
      acc_bits -= k;
      symbol = static_cast<int>(x) - LzhNodeCount;
      if (symbol >= 256) {
        const int b = take_fast(8);
        const int rest = LzhOffsetTable.high_length[b] - 2;
        const int e = take_fast(rest);
        offset = (LzhOffsetTable.high[b] << 6) | (((b << rest) | e) & 63);
      }
    } else {
      cut_back();
      int x = child[LzhRoot];
      while (x < LzhNodeCount) {
        fill();
        const int node = x + static_cast<int>(acc >> 63);
        path[++depth] = static_cast<int16_t>(node);
        x = child[node];
        acc <<= 1;
        --held;
        acc_bits = held;
      }
      symbol = x - LzhNodeCount;
      if (symbol >= 256) {
        const int b = take_slow(8);
        const int rest = LzhOffsetTable.high_length[b] - 2;
        const int e = take_slow(rest);
        offset = (LzhOffsetTable.high[b] << 6) | (((b << rest) | e) & 63);
      }
    }
    UpdateAlongPath(freq, parent, child, symbol, path, depth);
    if (symbol < 256) {
      put(static_cast<uint8_t>(symbol));
      ring[r] = static_cast<uint8_t>(symbol);
      r = (r + 1) & LzhRingMask;
      ++produced;
    } else {
      const int length = symbol - LzhMatchSymbolBias;
      const int start = r - offset - 1;
      const int from = start & LzhRingMask;
      if (out_end - out >= kCopySlack && out_limit >= length && from + length <= LzhRingSize &&
          r + length <= LzhRingSize) [[likely]] {
        // Neither side wraps: the match is built in the output buffer, whose bytes past it are
        // scratch (the buffer is written only up to OutPos), and then stored into the ring.
        const int distance = offset + 1;
        if (distance >= length) {
          std::memcpy(out, ring + from, kCopyRead);
        } else if (distance == 1) {
          std::memset(out, ring[from], static_cast<size_t>(length));
        } else {
          // The match repeats its own first distance bytes.
          std::memcpy(out, ring + from, static_cast<size_t>(distance));
          int k = distance;
          if (distance >= 8) {
            for (; k < length; k += 8) std::memcpy(out + k, out + k - distance, 8);
          } else {
            for (; k < length; ++k) out[k] = out[k - distance];
          }
        }
        std::memcpy(ring + r, out, static_cast<size_t>(length));
        r = (r + length) & LzhRingMask;
        out += length;
        out_limit -= length;
      } else {
        for (int k = 0; k < length; ++k) {
          const uint8_t c = ring[(start + k) & LzhRingMask];
          put(c);
          ring[r] = c;
          r = (r + 1) & LzhRingMask;
        }
      }
      produced += length;
    }
  }
  cut_back();
  store();
}

template <bool kFast>
void Expand(TCompThreadSafety& s, int32_t count) {
  if (count <= 0) return;
  LzhWorkGuard guard(s);
  LzhAllocateWork(s);
  LzhStartModel(s);
  std::memset(s.LzhRing.get(), LzhRingFill, LzhRingSize);
  if (kFast && !s.UnscrambleInput && !s.ScrambleOutput) {
    ExpandPlain(s, count);
  } else {
    ExpandBytewise(s, count);
  }
}

}  // namespace

void LzhExpand(TCompThreadSafety& s, int32_t count) {
  Expand<true>(s, count);
}

void LzhExpandBytewise(TCompThreadSafety& s, int32_t count) {
  Expand<false>(s, count);
}

}  // namespace qobz
