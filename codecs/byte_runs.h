// The bulk side of the byte layer: fast paths take runs of bytes straight from the input buffer
// and store runs straight into the output buffer, and account for them once per run instead of
// once per byte.
//
// TByteRuns holds the buffer pointers in locals. Bytes taken or stored through it are seen by the
// state only at Commit(), which does for the whole run what ReadByte and WriteByte do per byte:
// the input sum and key index, and the output's scrambling, sum, count and limit. Commit() must
// run before anything else looks at the state: ReadByte, WriteByte, a return. A fast path
// therefore never fetches or writes a buffer itself; at the end of either run it commits and
// hands the next byte to ReadByte or WriteByte, which fetch, report progress, yield, write the
// full buffer or raise EUnableToCompress exactly where the byte-at-a-time flow does.
//
// Entry assumptions: the input side may be read raw (In, Take, Skip) only when UnscrambleInput is
// clear; CopyThrough unscrambles. At most one side is scrambled: the key index is shared, and a
// run of one side cannot interleave with the other's bytes as the byte loop does.
#pragma once

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/byte_stream.h"

namespace qobz {

// Eight bytes from p, the first in the most significant position.
inline uint64_t LoadBigEndian64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

// The 32-bit wrap-around sum of the bytes in [p, end). With SSE2, 16 bytes at a time by sums of
// absolute differences against zero.
inline uint32_t SumBytes(const uint8_t* p, const uint8_t* end) {
  uint32_t total = 0;
#if defined(__SSE2__)
  __m128i acc = _mm_setzero_si128();
  const __m128i zero = _mm_setzero_si128();
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    acc = _mm_add_epi64(acc, _mm_sad_epu8(v, zero));
  }
  total = static_cast<uint32_t>(_mm_cvtsi128_si32(acc)) +
          static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(acc, acc)));
#endif
  for (; p < end; ++p) total += *p;
  return total;
}

// The first index i in [from, limit) with a[i] != b[i], or limit. Little-endian machines compare
// eight bytes at a time, so the loads may reach 7 bytes past limit on both sides.
inline int MatchLength(const uint8_t* a, const uint8_t* b, int from, int limit) {
  int i = from;
  if constexpr (std::endian::native == std::endian::little) {
    while (i < limit) {
      uint64_t x;
      uint64_t y;
      std::memcpy(&x, a + i, sizeof x);
      std::memcpy(&y, b + i, sizeof y);
      if (const uint64_t d = x ^ y) {
        i += std::countr_zero(d) >> 3;
        return i < limit ? i : limit;
      }
      i += 8;
    }
    return limit;
  } else {
    while (i < limit && a[i] == b[i]) ++i;
    return i;
  }
}

// XORs n bytes from src into dst with the key bytes in turn, starting at key byte `phase`.
inline void XorKeyRun(uint8_t* dst, const uint8_t* src, size_t n, const uint8_t (&key)[4],
                      uint32_t phase) {
  uint8_t pattern[8];
  for (uint32_t k = 0; k < 8; ++k) pattern[k] = key[(phase + k) & 3];
  uint64_t word;
  std::memcpy(&word, pattern, sizeof word);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    std::memcpy(&v, src + i, sizeof v);
    v ^= word;
    std::memcpy(dst + i, &v, sizeof v);
  }
  for (; i < n; ++i) dst[i] = static_cast<uint8_t>(src[i] ^ pattern[i & 7]);
}

class TByteRuns {
 public:
  explicit TByteRuns(TCompThreadSafety& s) : s_(s) {
    assert(!(s.UnscrambleInput && s.ScrambleOutput));
    Load();
  }
  TByteRuns(const TByteRuns&) = delete;
  TByteRuns& operator=(const TByteRuns&) = delete;

  // Input run: the unread bytes of the input buffer.
  bool HasInput() const { return in_ != in_end_; }
  const uint8_t* In() const { return in_; }
  ptrdiff_t InLeft() const { return in_end_ - in_; }
  uint8_t Take() { return *in_++; }
  void Skip(ptrdiff_t n) { in_ += n; }
  // Output room: bytes that may be stored before the buffer is full or the limit is reached.
  ptrdiff_t Room() const { return room_; }

  // Accounts for the bytes taken and stored since the last commit.
  void Commit() {
    CommitInput();
    CommitOutput();
  }
  // Accounts for the bytes taken since the last commit.
  void CommitInput() {
    const auto taken = static_cast<uint32_t>(in_ - in_mark_);
    s_.InSum += SumBytes(in_mark_, in_);
    if (s_.UnscrambleInput) s_.KeyIndex = static_cast<int16_t>((s_.KeyIndex + taken) & 3);
    s_.InPos = in_;
    in_mark_ = in_;
  }
  // Accounts for the bytes stored since the last commit.
  void CommitOutput() {
    const auto stored = static_cast<int32_t>(out_ - out_mark_);
    if (s_.ScrambleOutput && stored > 0) {
      XorKeyRun(out_mark_, out_mark_, static_cast<size_t>(stored), s_.KeyBytes,
                static_cast<uint32_t>(s_.KeyIndex));
      s_.KeyIndex = static_cast<int16_t>((s_.KeyIndex + stored) & 3);
    }
    s_.OutSum += SumBytes(out_mark_, out_);
    s_.OutCount += stored;
    s_.OutLimit -= stored;
    s_.OutPos = out_;
    out_mark_ = out_;
  }

  // For loops that keep their own pointers (decoders read ahead and copy matches from their own
  // output): where the input run now starts, and where the output now ends. Neither may pass the
  // end of its run; unscrambling taken bytes is then the caller's business.
  const uint8_t* InMark() const { return in_mark_; }
  uint8_t* Out() const { return out_; }
  void SetIn(const uint8_t* p) { in_ = const_cast<uint8_t*>(p); }
  void SetOut(uint8_t* p) {
    room_ -= p - out_;
    out_ = p;
  }

  // Reloads the runs after ReadByte or WriteByte moved the state.
  void Load() {
    in_ = in_mark_ = s_.InPos;
    in_end_ = s_.InEnd;
    out_ = out_mark_ = s_.OutPos;
    room_ = std::max<ptrdiff_t>(0, std::min<ptrdiff_t>(s_.OutEnd - s_.OutPos, s_.OutLimit));
  }

  void Put(uint8_t b) {
    if (room_ > 0) [[likely]] {
      *out_++ = b;
      --room_;
    } else {
      PutSlow(b);
    }
  }

  // Stores count copies of b.
  void PutCopies(uint8_t b, int32_t count) {
    if (count <= 16 && room_ >= 16) {
      // Short runs: sixteen bytes stored at once; those past count are never committed and are
      // overwritten or left unwritten to the stream.
      std::memset(out_, b, 16);
      out_ += count;
      room_ -= count;
      return;
    }
    while (count > 0) {
      if (room_ == 0) {
        PutSlow(b);
        --count;
        continue;
      }
      const auto n = std::min<ptrdiff_t>(room_, count);
      std::memset(out_, b, static_cast<size_t>(n));
      out_ += n;
      room_ -= n;
      count -= static_cast<int32_t>(n);
    }
  }

  // Copies sixteen input bytes to the output and keeps the first n of them (n <= 16); both
  // InLeft() and Room() must be at least 16. The rest are overwritten later or never written.
  void CopySixteenKeep(ptrdiff_t n) {
    std::memcpy(out_, in_, 16);
    in_ += n;
    out_ += n;
    room_ -= n;
  }

  // Copies n input bytes to the output, unscrambled when the input is; n must not exceed
  // InLeft() or Room().
  void CopyThrough(ptrdiff_t n) {
    if (s_.UnscrambleInput) [[unlikely]] {
      const auto phase = static_cast<uint32_t>(s_.KeyIndex + (in_ - in_mark_)) & 3;
      XorKeyRun(out_, in_, static_cast<size_t>(n), s_.KeyBytes, phase);
    } else if (n <= 16) {
      for (ptrdiff_t i = 0; i < n; ++i) out_[i] = in_[i];
    } else {
      std::memcpy(out_, in_, static_cast<size_t>(n));
    }
    in_ += n;
    out_ += n;
    room_ -= n;
  }

  // Reads one byte through ReadByte (a fetch may happen).
  uint8_t ReadSlow() {
    Commit();
    const uint8_t b = ReadByte(s_);
    Load();
    return b;
  }

 private:
  // The output buffer is full or the limit is reached: WriteByte writes the buffer or raises.
  void PutSlow(uint8_t b) {
    Commit();
    WriteByte(s_, b);
    Load();
  }

  TCompThreadSafety& s_;
  uint8_t* in_ = nullptr;
  uint8_t* in_mark_ = nullptr;
  uint8_t* in_end_ = nullptr;
  uint8_t* out_ = nullptr;
  uint8_t* out_mark_ = nullptr;
  ptrdiff_t room_ = 0;
};

}  // namespace qobz
