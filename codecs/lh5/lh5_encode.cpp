// The LH5 encoder: LZ77 over an 8192-byte window with matches of 3 to 256 bytes, Huffman-coded
// in blocks by lh5_block_writer.cpp.
//
// Matches are found by a trie of every string (up to 256 bytes) that starts in the window. A
// root per first byte; internal nodes record the length of the prefix their strings share and a
// recent window slot whose string passes through them; leaves are window slots. Children hang in
// hashed bucket lists keyed by (parent, next byte). The search has no probe limit and always
// finds a longest match; among equally long ones it follows the slots the nodes remember, which
// makes the choice, and so the output, depend on the input alone.
//
// Window slots 8192..16383 are positions; the window slides by 8192 every 8192 positions without
// renumbering, so a recorded slot at or above CurPos stands for the string 8192 slots lower.
// Bytes past the end of the input (spaces of the first fill; after a slide, the 0 that ReadByte
// answered at the end and stale bytes above it) take part in comparisons exactly as they lie,
// because they decide ties; lengths are cut to Lookahead.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#include "codecs/bit_stream.h"
#include "codecs/byte_runs.h"
#include "codecs/codecs.h"
#include "codecs/lh5/lh5_encoder.h"

namespace qobz {

namespace {

constexpr int kFirstPos = lh5::WindowSize + lh5::MaxMatch;  // 8448: CurPos at the start of a run
static_assert(kWindowSlots - kFirstPos == kFirstFill);

}  // namespace

int LH5ReadFirstFill(TCompThreadSafety& s, uint8_t* dst) {
  // Reads until the input ends or a fetch is cancelled; the slots after that hold spaces, which
  // take part in comparisons.
  int got = 0;
  for (; got < kFirstFill; ++got) {
    const uint8_t b = ReadByte(s);
    if (s.EndOfInput) break;
    dst[got] = b;
  }
  std::memset(dst + got, lh5::WindowFill, static_cast<size_t>(kFirstFill - got));
  return got;
}

// Fills [dst, end) as a ReadByte per slot would, stopping at the first slot that gets no byte;
// that slot takes ReadByte's 0 and the slots above it keep their old bytes, which decide ties.
// The 0 is stored whenever the input ended, also at a fill that follows the one that met the end.
// After a cancelled fetch nothing more is read or stored, as in the other encoders: the bytes of
// a cancelled fetch never become input. Returns the number of bytes stored before that slot.
// Whole runs of the input buffer are copied at once.
int LH5ReadInput(TCompThreadSafety& s, uint8_t* dst, uint8_t* const end) {
  if (s.FetchCancelled) return 0;
  uint8_t* const begin = dst;
  while (dst < end) {
    if (s.InPos == s.InEnd || s.UnscrambleInput) {
      *dst = ReadByte(s);
      if (s.EndOfInput) break;
      ++dst;
      continue;
    }
    TByteRuns in(s);
    const ptrdiff_t n = std::min(in.InLeft(), end - dst);
    std::memcpy(dst, in.In(), static_cast<size_t>(n));
    in.Skip(n);
    in.Commit();
    dst += n;
  }
  return static_cast<int>(dst - begin);
}

namespace {

class LH5Encoder {
 public:
  LH5Encoder(TCompThreadSafety& s, TLH5EncoderTables& t) : s_(s), t_(t) {}

  void Run();

 private:
  void ResetTrie();
  [[gnu::always_inline]] inline void AdvanceWindow();
  [[gnu::always_inline]] inline void InsertString();
  [[gnu::always_inline]] inline void RemoveString();
  [[gnu::always_inline]] inline void SplitEdge(int old);
  int FindChild(int q, int b);
  void AttachChild(int q, int b, int r);
  [[gnu::always_inline]] inline void RecordItem(int symbol, int v);

  // Scatters the nodes over the buckets (Fibonacci hashing), and keeps the up to 256 children of
  // one node in consecutive, hence distinct, buckets.
  static int Bucket(int q, int b) {
    const uint32_t scatter = (static_cast<uint32_t>(q) * 0x9E3779B1u) >> 18;
    return kBucketBase +
           static_cast<int>((scatter + static_cast<uint32_t>(b)) & (kBucketCount - 1));
  }

  TCompThreadSafety& s_;
  TLH5EncoderTables& t_;
};

void LH5Encoder::ResetTrie() {
  for (int q = kRootBase; q < kRootBase + lh5::LiteralCount; ++q) {
    t_.NodeDepth[q] = 1;
    t_.NodeLatest[q] = 0;
  }
  std::memset(t_.NodeParent + kLeafBase, 0, lh5::WindowSize * sizeof(t_.NodeParent[0]));
  t_.FreeNode = 1;
  for (int i = 1; i < lh5::WindowSize - 1; ++i) t_.NodeNext[i] = static_cast<uint16_t>(i + 1);
  t_.NodeNext[lh5::WindowSize - 1] = 0;
  std::memset(t_.NodeNext + kBucketBase, 0, kBucketCount * sizeof(t_.NodeNext[0]));
}

int LH5Encoder::FindChild(int q, int b) {
  int r = t_.NodeNext[Bucket(q, b)];
  t_.NodeParent[0] = static_cast<uint16_t>(q);  // sentinel: the walk ends at 0
  while (t_.NodeParent[r] != q) r = t_.NodeNext[r];
  return r;
}

void LH5Encoder::AttachChild(int q, int b, int r) {
  const int h = Bucket(q, b);
  const int t = t_.NodeNext[h];
  t_.NodeNext[h] = static_cast<uint16_t>(r);
  t_.NodeNext[r] = static_cast<uint16_t>(t);
  t_.NodePrev[t] = static_cast<uint16_t>(r);  // for an empty list this writes the scratch entry 0
  t_.NodePrev[r] = static_cast<uint16_t>(h);
  t_.NodeParent[r] = static_cast<uint16_t>(q);
  ++t_.NodeChildren[q];
}

// Puts a new internal node between old and its parent, at the depth where the strings at CurPos
// and MatchStart part.
void LH5Encoder::SplitEdge(int old) {
  const int p = t_.CurPos;
  const int m = t_.MatchStart;
  const int k = t_.MatchLength;
  const int n = t_.FreeNode;
  t_.FreeNode = t_.NodeNext[n];
  t_.NodeChildren[n] = 0;
  const int prev = t_.NodePrev[old];
  const int next = t_.NodeNext[old];
  t_.NodePrev[n] = static_cast<uint16_t>(prev);
  t_.NodeNext[prev] = static_cast<uint16_t>(n);
  t_.NodeNext[n] = static_cast<uint16_t>(next);
  t_.NodePrev[next] = static_cast<uint16_t>(n);
  t_.NodeParent[n] = t_.NodeParent[old];
  t_.NodeDepth[n] = static_cast<uint8_t>(k);
  t_.NodeLatest[n] = static_cast<uint16_t>(p);
  AttachChild(n, t_.Window[m + k], old);
  AttachChild(n, t_.Window[p + k], p);
}

// Inserts the string at CurPos and leaves the longest match in MatchStart and MatchLength. On
// entry they still describe the match found one position earlier.
void LH5Encoder::InsertString() {
  const int p = t_.CurPos;
  const uint8_t* const w = t_.Window;
  int q;
  int r;
  if (t_.MatchLength >= 4) {
    // The string at p shares at least MatchLength - 1 bytes with the one after the previous
    // match's start: start below the root, next to that string's leaf.
    --t_.MatchLength;
    r = (t_.MatchStart + 1) | kSlotBit;
    while (t_.NodeParent[r] == 0) r = t_.NodeNext[r];  // follow replacement links
    q = t_.NodeParent[r];
    while (t_.NodeDepth[q] >= t_.MatchLength) {
      r = q;
      q = t_.NodeParent[q];
    }
    int u = q;
    while (t_.NodeLatest[u] & kNodeMark) {
      t_.NodeLatest[u] = static_cast<uint16_t>(p);
      u = t_.NodeParent[u];
    }
    if (u < kRootBase) t_.NodeLatest[u] = static_cast<uint16_t>(p | kNodeMark);
  } else {
    q = kRootBase + w[p];
    const int b = w[p + 1];
    r = FindChild(q, b);
    if (r == 0) {
      AttachChild(q, b, p);
      t_.MatchLength = 1;
      return;
    }
    t_.MatchLength = 2;
  }

  for (;;) {
    int limit;
    int m;
    if (r >= kLeafBase) {
      limit = lh5::MaxMatch;
      m = r;
    } else {
      limit = t_.NodeDepth[r];
      m = t_.NodeLatest[r] & 0x7FFF;
    }
    if (m >= p) m -= lh5::WindowSize;
    t_.MatchStart = m;
    const int len = qobz::MatchLength(w + p, w + m, t_.MatchLength, limit);
    if (len < limit) {
      t_.MatchLength = len;
      SplitEdge(r);
      return;
    }
    t_.MatchLength = len;
    if (len == lh5::MaxMatch) break;
    t_.NodeLatest[r] = static_cast<uint16_t>(p);
    q = r;
    const int b = w[p + len];
    r = FindChild(q, b);
    if (r == 0) {
      AttachChild(q, b, p);
      return;
    }
    t_.MatchLength = len + 1;
  }

  // The string at p equals leaf r's in all 256 bytes: p takes r's place, and r points to p.
  const int prev = t_.NodePrev[r];
  const int next = t_.NodeNext[r];
  t_.NodePrev[p] = static_cast<uint16_t>(prev);
  t_.NodeNext[prev] = static_cast<uint16_t>(p);
  t_.NodeNext[p] = static_cast<uint16_t>(next);
  t_.NodePrev[next] = static_cast<uint16_t>(p);
  t_.NodeParent[p] = static_cast<uint16_t>(q);
  t_.NodeParent[r] = 0;
  t_.NodeNext[r] = static_cast<uint16_t>(p);
}

// Removes the oldest string, the leaf of slot CurPos, and merges away a parent left with one
// child, handing that parent's recent slot up to the marked ancestors.
void LH5Encoder::RemoveString() {
  const int p = t_.CurPos;
  if (t_.NodeParent[p] == 0) return;
  t_.NodeNext[t_.NodePrev[p]] = t_.NodeNext[p];
  t_.NodePrev[t_.NodeNext[p]] = t_.NodePrev[p];
  const int r = t_.NodeParent[p];
  t_.NodeParent[p] = 0;
  --t_.NodeChildren[r];
  if (r >= kRootBase || t_.NodeChildren[r] > 1) return;

  int t = t_.NodeLatest[r] & 0x7FFF;
  if (t >= p) t -= lh5::WindowSize;
  int m = t;
  int q = t_.NodeParent[r];
  while (t_.NodeLatest[q] & kNodeMark) {
    int u = t_.NodeLatest[q] & 0x7FFF;
    if (u >= p) u -= lh5::WindowSize;
    if (u > m) m = u;
    t_.NodeLatest[q] = static_cast<uint16_t>(m | kSlotBit);
    q = t_.NodeParent[q];
  }
  if (q < kRootBase) {
    int u = t_.NodeLatest[q];
    if (u >= p) u -= lh5::WindowSize;
    if (u > m) m = u;
    t_.NodeLatest[q] = static_cast<uint16_t>(m | kSlotBit | kNodeMark);
  }

  const int s = FindChild(r, t_.Window[t + t_.NodeDepth[r]]);
  t_.NodeNext[t_.NodePrev[s]] = t_.NodeNext[s];
  t_.NodePrev[t_.NodeNext[s]] = t_.NodePrev[s];
  t_.NodeNext[t_.NodePrev[r]] = static_cast<uint16_t>(s);
  t_.NodePrev[s] = t_.NodePrev[r];
  t_.NodePrev[t_.NodeNext[r]] = static_cast<uint16_t>(s);
  t_.NodeNext[s] = t_.NodeNext[r];
  t_.NodeParent[s] = t_.NodeParent[r];
  t_.NodeParent[r] = 0;
  t_.NodeNext[r] = static_cast<uint16_t>(t_.FreeNode);
  t_.FreeNode = r;
}

// Moves CurPos on by one, sliding and refilling the window every 8192 positions, and replaces the
// oldest string of the trie by the new one.
void LH5Encoder::AdvanceWindow() {
  --t_.Lookahead;
  if (++t_.CurPos == 2 * lh5::WindowSize) {
    std::memmove(t_.Window, t_.Window + lh5::WindowSize, kWindowSlots - lh5::WindowSize);
    t_.Lookahead += LH5ReadInput(s_, t_.Window + kFirstPos, t_.Window + kWindowSlots);
    t_.CurPos = lh5::WindowSize;
  }
  RemoveString();
  InsertString();
}

void LH5Encoder::RecordItem(int symbol, int v) {
  t_.FlagMask >>= 1;
  if (t_.FlagMask == 0) {
    t_.FlagMask = 0x80;
    if (t_.ItemPos >= kBlockClose) {
      FlushBlock(s_, t_);
      t_.ItemPos = 0;
    }
    t_.FlagPos = t_.ItemPos;
    t_.ItemBuffer[t_.FlagPos] = 0;
    ++t_.ItemPos;
  }
  t_.ItemBuffer[t_.ItemPos++] = static_cast<uint8_t>(symbol);
  ++t_.SymbolFreq[symbol];
  if (symbol >= lh5::LiteralCount) {
    t_.ItemBuffer[t_.FlagPos] = static_cast<uint8_t>(t_.ItemBuffer[t_.FlagPos] | t_.FlagMask);
    t_.ItemBuffer[t_.ItemPos] = static_cast<uint8_t>(v >> 8);
    t_.ItemBuffer[t_.ItemPos + 1] = static_cast<uint8_t>(v);
    t_.ItemPos = static_cast<uint16_t>(t_.ItemPos + 2);
    ++t_.PositionFreq[BitLength(static_cast<unsigned>(v))];
  }
}

void LH5Encoder::Run() {
  ResetTrie();
  std::fill(t_.SymbolFreq, t_.SymbolFreq + lh5::SymbolCount, 0);
  std::fill(t_.PositionFreq, t_.PositionFreq + lh5::PositionCodeCount, 0);
  t_.ItemBuffer[0] = 0;
  t_.ItemPos = 0;
  t_.FlagMask = 0;
  t_.FlagPos = 0;
  t_.CurPos = kFirstPos;
  t_.Lookahead = 0;
  std::memset(t_.Window + kWindowSlots + 1, 0, kComparePad);  // read, never counted

  t_.Lookahead = LH5ReadFirstFill(s_, t_.Window + kFirstPos);
  if (t_.Lookahead == 0) return;  // an empty input writes nothing, not even a partial byte

  t_.MatchStart = 0;
  t_.MatchLength = 0;
  InsertString();
  // One-step lazy choice: the match found at a position is sent only if the next position does
  // not offer a strictly longer one. The window advances in one place only, so that the trie
  // code is inlined once: skip counts the advances left over the rest of a sent match, after
  // which the match found is cut to the look-ahead.
  int len = 0;
  int start = 0;
  int skip = 0;
  for (;;) {
    if (skip == 0) {
      if (t_.Lookahead <= 0) break;
      len = t_.MatchLength;
      start = t_.MatchStart;
    }
    AdvanceWindow();
    if (skip > 0) {
      if (--skip == 0 && t_.MatchLength > t_.Lookahead) t_.MatchLength = t_.Lookahead;
      continue;
    }
    if (t_.MatchLength > t_.Lookahead) t_.MatchLength = t_.Lookahead;
    if (t_.MatchLength > len || len < lh5::MinMatch) {
      RecordItem(t_.Window[t_.CurPos - 1], 0);
    } else {
      // The mask keeps the distance right when the window slid since the match was found.
      RecordItem(len + lh5::MatchSymbolOffset, (t_.CurPos - start - 2) & lh5::WindowMask);
      skip = len - 1;
    }
  }
  FlushBlock(s_, t_);
  WriteBits(s_, 7, 0);
}

}  // namespace

void LH5Compress(TCompThreadSafety& s) {
  // All working storage of the run, released however the run ends.
  auto tables = std::make_unique_for_overwrite<TLH5EncoderTables>();
  StartBitWriter(s);
  LH5Encoder(s, *tables).Run();
}

}  // namespace qobz
