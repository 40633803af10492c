// Method 1, run-length coding with one escape byte.
//
// Stream format (no header, no end marker):
//   b (not RleEscape)   the byte b
//   RleEscape 0x00      one byte RleEscape
//   RleEscape n, n>0    n - 1 further copies of LastByte, the first byte of the preceding unit
//                       (0 at the start of the stream)
// The compressor writes the counted form only right after the literal that opens a run of 3 to
// 255 equal bytes; two equal bytes stay two literals, and RleEscape never opens a run.
//
// Each direction has a byte-at-a-time path through ReadByte/WriteByte and a fast path that works
// on the bytes already in the input buffer through the bulk runs of byte_runs.h. The fast path
// runs only when neither side is scrambled (the keyed byte path is the reference the tests
// compare it with) and goes back to ReadByte/WriteByte for every fetch, every full output buffer
// and the output limit, so that streams, progress, yields, sums and EUnableToCompress behave
// exactly as on the byte path.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#include "codecs/byte_runs.h"
#include "codecs/byte_stream.h"
#include "codecs/codecs.h"

namespace qobz {

namespace {

// A run is cut after this many bytes: the count must fit in one byte.
constexpr int32_t kMaxRun = 255;

// How many bytes from p (at most n) go out exactly as they are, with the run state left inactive
// and LastByte the last of them. A byte b stops the stretch when it is RleEscape, or when it
// repeats its predecessor (prev before p[0]) and the byte after it repeats it too, so that a run
// of three or more starts; the end of the bound counts as such a repeat, since the next byte is
// unknown. A pair x x followed by another byte y is written x x y by the byte loop as well (the
// second x is held back until y arrives, with no fetch in between since y is within the bound).
//
// Eight bytes at a time. ZeroBytes flags every zero byte and, above the lowest one, possibly
// others; stopping early is always safe (the byte loop takes over), stopping late never happens.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
constexpr uint64_t kEscapes = kOnes * RleEscape;
constexpr uint64_t ZeroBytes(uint64_t v) {
  return (v - kOnes) & ~v & kHighs;
}

ptrdiff_t LiteralStretch(const uint8_t* p, ptrdiff_t n, uint8_t prev) {
  auto stops_at = [&](ptrdiff_t i) {
    uint8_t before = i == 0 ? prev : p[i - 1];
    return p[i] == RleEscape || (p[i] == before && (i + 1 == n || p[i + 1] == p[i]));
  };
  if (n == 0 || stops_at(0)) return 0;
  ptrdiff_t i = 1;
#if defined(__SSE2__)
  // Sixteen bytes at a time where SSE2 is there: a stretch of machine code (13 bytes on average)
  // then ends in the first step, and the loop's exit is mispredicted once instead of twice
  // (in-process RLE encode of the corpus's binary sample: 783 -> 969 MB/s). Tried: storing each
  // step's sixteen bytes to the output as they are tested, so that a stretch needs no copy of its
  // own: no gain (942 against 935 MB/s side by side).
  const __m128i escapes = _mm_set1_epi8(static_cast<char>(RleEscape));
  for (; i + 17 <= n; i += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i - 1));
    const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
    const __m128i repeat = _mm_and_si128(_mm_cmpeq_epi8(here, before), _mm_cmpeq_epi8(here, after));
    const unsigned stops = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(here, escapes), repeat)));
    if (stops != 0) return i + std::countr_zero(stops);
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 9 <= n; i += 8) {
      uint64_t here, before, after;
      std::memcpy(&here, p + i, 8);
      std::memcpy(&before, p + i - 1, 8);
      std::memcpy(&after, p + i + 1, 8);
      uint64_t stops =
          ZeroBytes(here ^ kEscapes) | (ZeroBytes(here ^ before) & ZeroBytes(here ^ after));
      // Memory order is the value's low-to-high order.
      if (stops != 0) return i + std::countr_zero(stops) / 8;
    }
  }
  while (i < n && !stops_at(i)) ++i;
  return i;
}

// How many bytes from p (at most limit) equal v, eight at a time.
ptrdiff_t RunLength(const uint8_t* p, ptrdiff_t limit, uint8_t v) {
  const uint64_t pattern = kOnes * v;
  ptrdiff_t k = 0;
  for (; k + 8 <= limit; k += 8) {
    uint64_t differ;
    std::memcpy(&differ, p + k, 8);
    differ ^= pattern;
    if (differ != 0) {
      // The first differing byte in memory order holds the lowest set bit (little-endian) or
      // the highest (big-endian).
      if constexpr (std::endian::native == std::endian::little) {
        return k + std::countr_zero(differ) / 8;
      } else {
        return k + std::countl_zero(differ) / 8;
      }
    }
  }
  while (k < limit && p[k] == v) ++k;
  return k;
}

bool FastPathAllowed(const TCompThreadSafety& s) {
  return !s.UnscrambleInput && !s.ScrambleOutput && !s.EndOfInput && s.InPos != s.InEnd;
}

// The run fields in locals (byte stores through the buffer pointers would otherwise force them
// back to memory at every byte), written back on every way out, exceptions included.
struct RunLocals {
  explicit RunLocals(TCompThreadSafety& s)
      : s_(s), first(s.RunFirst), active(s.RunActive), last(s.LastByte), count(s.RunCount) {}
  ~RunLocals() {
    s_.RunFirst = first;
    s_.RunActive = active;
    s_.LastByte = last;
    s_.RunCount = count;
  }
  RunLocals(const RunLocals&) = delete;
  RunLocals& operator=(const RunLocals&) = delete;

  TCompThreadSafety& s_;
  bool first;
  bool active;
  uint8_t last;
  int32_t count;
};

// One byte of RleCompress, on the byte path.
void CompressByte(TCompThreadSafety& s, uint8_t b) {
  if (s.RunActive) {
    if (b == s.LastByte && s.RunCount < kMaxRun) {
      ++s.RunCount;
    } else {
      RlePutRun(s, s.RunCount, s.LastByte);
      s.LastByte = b;
      if (b == RleEscape) {
        RlePutRun(s, 0, RleEscape);
      } else {
        WriteByte(s, b);
      }
      s.RunActive = false;
    }
  } else {
    if (b == RleEscape) {
      RlePutRun(s, 0, RleEscape);
    } else if (b == s.LastByte && !s.RunFirst) {
      s.RunCount = 2;
      s.RunActive = true;
    } else {
      WriteByte(s, b);
    }
    s.LastByte = b;
  }
  s.RunFirst = false;
}

void PutRunFast(TByteRuns& io, int32_t count, uint8_t value) {
  if (count == 1 || count == 2) {
    io.PutCopies(value, count - 1);
  } else {
    io.Put(RleEscape);
    io.Put(static_cast<uint8_t>(count));
  }
}

// RleCompress over the bytes already in the input buffer: the same steps in the same order as
// CompressByte, with a run of equal bytes counted in one scan.
void CompressBuffered(TCompThreadSafety& s) {
  TByteRuns io(s);
  RunLocals r(s);
  while (io.HasInput()) {
    if (r.active) {
      // Count the rest of the run inside the buffer; it may go on in the next fetch.
      const uint8_t* p = io.In();
      auto limit = std::min<ptrdiff_t>(io.InLeft(), kMaxRun - r.count);
      ptrdiff_t k = RunLength(p, limit, r.last);
      io.Skip(k);
      r.count += static_cast<int32_t>(k);
      if (!io.HasInput()) break;
      // The scan stopped at a different byte or at a full run: either way the run ends here.
      uint8_t b = io.Take();
      PutRunFast(io, r.count, r.last);
      r.last = b;
      if (b == RleEscape) {
        PutRunFast(io, 0, RleEscape);
      } else {
        io.Put(b);
      }
      r.active = false;
    } else {
      if (!r.first) {
        // Plain literals go out in one copy, as far as the output room allows. Machine code
        // breaks them every 13 bytes on average with a run, so a short stretch is copied as
        // sixteen bytes at once, and a stretch that ended at a stop (not at the bound) goes on
        // to that byte at once instead of scanning it again.
        const ptrdiff_t bound = std::min(io.InLeft(), io.Room());
        const ptrdiff_t len = LiteralStretch(io.In(), bound, r.last);
        if (len > 0) {
          r.last = io.In()[len - 1];
          if (len <= 16 && bound >= 16) {
            io.CopySixteenKeep(len);
          } else {
            io.CopyThrough(len);
          }
          if (len == bound) continue;
        }
      }
      uint8_t b = io.Take();
      if (b == RleEscape) {
        PutRunFast(io, 0, RleEscape);
      } else if (b == r.last && !r.first) {
        r.count = 2;
        r.active = true;
      } else {
        io.Put(b);
      }
      r.last = b;
    }
    r.first = false;
  }
  io.Commit();
}

// RleExpand over the bytes already in the input buffer. Returns early when the count byte of an
// escape had to be fetched and the fetch ended the input: the byte loop then stops as it would.
void ExpandBuffered(TCompThreadSafety& s) {
  TByteRuns io(s);
  RunLocals r(s);
  while (io.HasInput()) {
    if (*io.In() != RleEscape) {
      // A stretch of literals up to the next escape, as far as the output room allows.
      auto n = std::min(io.InLeft(), io.Room());
      if (n == 0) {  // the output buffer is full or the limit is reached
        uint8_t b = io.Take();
        io.Put(b);
        r.last = b;
        continue;
      }
      const uint8_t* p = io.In();
      if (std::endian::native == std::endian::little && n >= 16) {
        // Short stretches (common in binary data): copy sixteen bytes blindly and keep those
        // before the first escape; only a stretch of sixteen goes on to memchr.
        uint64_t w0, w1;
        std::memcpy(&w0, p, 8);
        std::memcpy(&w1, p + 8, 8);
        uint64_t e0 = ZeroBytes(w0 ^ kEscapes), e1 = ZeroBytes(w1 ^ kEscapes);
        ptrdiff_t len = e0 ? std::countr_zero(e0) / 8 : e1 ? 8 + std::countr_zero(e1) / 8 : 16;
        r.last = p[len - 1];
        io.CopySixteenKeep(len);
        if (len < 16) continue;
        p = io.In();
        n -= 16;
        if (n == 0 || *p == RleEscape) continue;
      }
      const void* esc = std::memchr(p, RleEscape, static_cast<size_t>(n));
      ptrdiff_t len = esc ? static_cast<const uint8_t*>(esc) - p : n;
      r.last = io.In()[len - 1];
      io.CopyThrough(len);
      continue;
    }
    io.Skip(1);
    // The count is taken without looking at EndOfInput: at the end of the data it reads as 0.
    uint8_t n = io.HasInput() ? io.Take() : io.ReadSlow();
    if (n == 0) {
      io.Put(RleEscape);
    } else {
      io.PutCopies(r.last, n - 1);
    }
    r.last = RleEscape;
    // A fetch for the count that ended the input: the byte loop's next ReadByte reports the end.
    if (s.EndOfInput) break;
  }
  io.Commit();
}

}  // namespace

void RlePutRun(TCompThreadSafety& s, int32_t count, uint8_t value) {
  if (count == 1 || count == 2) {
    for (int32_t i = 1; i < count; ++i) WriteByte(s, value);
  } else {
    WriteByte(s, RleEscape);
    WriteByte(s, static_cast<uint8_t>(count));
  }
}

void RleCompress(TCompThreadSafety& s) {
  for (;;) {
    if (FastPathAllowed(s)) {
      CompressBuffered(s);
      continue;
    }
    uint8_t b = ReadByte(s);
    if (s.EndOfInput) break;
    CompressByte(s, b);
  }
  if (s.RunActive) RlePutRun(s, s.RunCount, s.LastByte);
}

void RleExpand(TCompThreadSafety& s) {
  for (;;) {
    if (FastPathAllowed(s)) {
      ExpandBuffered(s);
      continue;
    }
    uint8_t b = ReadByte(s);
    if (s.EndOfInput) break;
    if (b != RleEscape) {
      WriteByte(s, b);
    } else {
      uint8_t n = ReadByte(s);  // not tested: at the end of the data it reads as 0
      if (n == 0) {
        WriteByte(s, RleEscape);
      } else {
        for (int i = 1; i < n; ++i) WriteByte(s, s.LastByte);
      }
    }
    s.LastByte = b;
  }
}

}  // namespace qobz
