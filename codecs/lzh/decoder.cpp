// LzhExpand: decodes symbols until the requested number of bytes is out.
//
// The expander never detects damage: past the end of the packed data every bit reads as 0 and
// decoding goes on until count bytes are out. The count is tested only before each symbol, so the
// last match of a damaged stream may carry the output up to 59 bytes past it.
//
// Unlike the compressor, which only ever reaches 4036 positions back, a stream from elsewhere may
// use offsets up to 4095 from the first symbol on; the whole ring therefore starts as spaces, not
// just the positions before LzhRingStart. Valid streams decode the same either way.
#include <cstring>

#include "codecs/codecs.h"
#include "codecs/lzh/lzh.h"

namespace qobz {

namespace {

// The expansion loop on the codec state's own fields: the bit reader and WriteByte of the model
// header, used when a key scrambles either side.
void ExpandScrambled(TCompThreadSafety& s, int32_t count) {
  uint8_t* ring = s.LzhRing.get();
  int r = LzhRingStart;
  int32_t produced = 0;
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

// The same loop with the byte-layer fields and the bit accumulator held in locals, so that the
// compiler keeps them in registers across the stores of output bytes. Every effect is that of
// ReadByte, WriteByte and the bit reader: a byte is taken exactly when the bit reader would take
// it, and the locals are written back before anything that may look at the state (a refill with
// its progress report, a full-buffer write, the output limit) and at the end.
void ExpandPlain(TCompThreadSafety& s, int32_t count) {
  uint8_t* const ring = s.LzhRing.get();
  uint16_t* const freq = s.HuffFreq.get();
  int16_t* const parent = s.HuffParent.get();
  int16_t* const child = s.HuffChild.get();

  uint32_t bits = static_cast<uint32_t>(s.LzhBitsIn) << 16;  // left-justified
  int held = s.LzhBitsInCount;
  const uint8_t* in = s.InPos;
  const uint8_t* in_end = s.InEnd;
  uint32_t in_sum = s.InSum;
  bool end_of_input = s.EndOfInput;
  uint8_t* out = s.OutPos;
  uint8_t* out_end = s.OutEnd;
  uint32_t out_sum = s.OutSum;
  int32_t out_count = s.OutCount;
  int32_t out_limit = s.OutLimit;

  auto store = [&] {
    s.InPos = const_cast<uint8_t*>(in);
    s.InSum = in_sum;
    s.OutPos = out;
    s.OutSum = out_sum;
    s.OutCount = out_count;
    s.OutLimit = out_limit;
    s.LzhBitsIn = static_cast<uint16_t>(bits >> 16);
    s.LzhBitsInCount = static_cast<uint8_t>(held);
  };
  auto load = [&] {
    in = s.InPos;
    in_end = s.InEnd;
    in_sum = s.InSum;
    end_of_input = s.EndOfInput;
    out = s.OutPos;
    out_end = s.OutEnd;
  };
  // Each request of the bit reader first takes in one byte if 8 bits or fewer are held.
  auto fill = [&] {
    if (held > 8) return;
    uint32_t b;
    if (in != in_end) [[likely]] {
      b = *in++;
      in_sum += b;
      if (end_of_input) b = 0;
    } else {
      store();
      b = ReadByte(s);
      if (s.EndOfInput) b = 0;
      load();
    }
    bits |= b << (24 - held);
    held += 8;
  };
  auto take = [&](int n) {
    fill();
    const int v = static_cast<int>(bits >> (32 - n));
    bits <<= n;
    held -= n;
    return v;
  };
  auto put = [&](uint8_t b) {
    if (out_limit <= 0 || out == out_end) [[unlikely]] {
      store();
      WriteByte(s, b);
      load();
      out_sum = s.OutSum;
      out_count = s.OutCount;
      out_limit = s.OutLimit;
      return;
    }
    --out_limit;
    *out++ = b;
    out_sum += b;
    ++out_count;
  };

  int r = LzhRingStart;
  int32_t produced = 0;
  while (produced < count) {
    int x = child[LzhRoot];
    while (x < LzhNodeCount) {
      fill();
      x = child[x + static_cast<int>(bits >> 31)];
      bits <<= 1;
      --held;
    }
    const int symbol = x - LzhNodeCount;
    LzhUpdateNodes(freq, parent, child, symbol);
    if (symbol < 256) {
      put(static_cast<uint8_t>(symbol));
      ring[r] = static_cast<uint8_t>(symbol);
      r = (r + 1) & LzhRingMask;
      ++produced;
    } else {
      const int length = symbol - LzhMatchSymbolBias;
      const int b = take(8);
      const int rest = LzhOffsetTable.high_length[b] - 2;
      const int e = take(rest);
      const int offset = (LzhOffsetTable.high[b] << 6) | (((b << rest) | e) & 63);
      const int start = r - offset - 1;
      for (int k = 0; k < length; ++k) {
        const uint8_t c = ring[(start + k) & LzhRingMask];
        put(c);
        ring[r] = c;
        r = (r + 1) & LzhRingMask;
      }
      produced += length;
    }
  }
  store();
}

}  // namespace

void LzhExpand(TCompThreadSafety& s, int32_t count) {
  if (count <= 0) return;
  LzhWorkGuard guard(s);
  LzhAllocateWork(s);
  LzhStartModel(s);
  std::memset(s.LzhRing.get(), LzhRingFill, LzhRingSize);
  if (s.UnscrambleInput || s.ScrambleOutput) {
    ExpandScrambled(s, count);
  } else {
    ExpandPlain(s, count);
  }
}

}  // namespace qobz
