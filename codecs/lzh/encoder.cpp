// LzhCompress: greedy LZSS parse with match search in ordered binary trees.
//
// Every ring position r - 4035 .. r is a node of one of 4096 search trees, chosen by the first
// byte of its 60-byte string and a 4-bit hash of the next two. Within a tree the strings are
// ordered by unsigned comparison from their second byte on. Each node keeps TreeShared, the number
// of leading bytes it shares with its parent (1 under a root), so that a walk down the tree skips
// every comparison whose outcome already follows from the parent. The matches found are exactly
// those of comparing the key with every node on its path from byte 1.
//
// Positions enter the trees when r reaches them and leave when s = r + 60 reaches them, just
// before their byte is overwritten, so a match reaches back at most 4036 bytes (offset <= 4035).
#include <bit>
#include <cstring>

#include "codecs/byte_runs.h"
#include "codecs/codecs.h"
#include "codecs/lzh/lzh.h"

namespace qobz {

namespace {

// Bytes of the tail that mirror ring positions 0..58.
constexpr int kTailMirror = LzhMaxMatch - 1;

// The index of the first byte at which the strings a and b differ, searching from index i (the
// bytes before it are known to be equal), or LzhMaxMatch if none of the first 60 does.
inline int SharedLength(const uint8_t* a, const uint8_t* b, int i) {
  return MatchLength(a, b, i, LzhMaxMatch);
}

inline int TreeRootOf(const uint8_t* key) {
  const int x = key[1] ^ key[2];
  const int h = (x ^ (x >> 4)) & 15;
  return LzhTreeRootBase + key[0] + 256 * h;
}

}  // namespace

void LzhInitTrees(TCompThreadSafety& s) {
  int16_t* right = s.TreeRight.get();
  int16_t* parent = s.TreeParent.get();
  for (int i = LzhTreeRootBase; i < LzhTreeRootBase + LzhRingSize; ++i) right[i] = LzhNoNode;
  for (int i = 0; i < LzhRingSize; ++i) parent[i] = LzhNoNode;
}

void LzhMeasureShared(TCompThreadSafety& s, int start, int other, int node) {
  uint8_t* shared = s.TreeShared.get();
  if (other >= LzhRingSize) {
    shared[node] = 1;
    return;
  }
  shared[node] =
      static_cast<uint8_t>(SharedLength(s.LzhRing.get() + node, s.LzhRing.get() + other, start));
}

void LzhInheritShared(TCompThreadSafety& s, int parent, int removed, int child) {
  uint8_t* shared = s.TreeShared.get();
  const int a = shared[removed];
  const int c = shared[child];
  if (a == c) {
    LzhMeasureShared(s, a, parent, child);
  } else if (a < c) {
    shared[child] = static_cast<uint8_t>(a);
  }
}

void LzhInsertPosition(TCompThreadSafety& s, int r) {
  int16_t* left = s.TreeLeft.get();
  int16_t* right = s.TreeRight.get();
  int16_t* parent = s.TreeParent.get();
  uint8_t* shared = s.TreeShared.get();
  const uint8_t* ring = s.LzhRing.get();
  const uint8_t* key = ring + r;

  left[r] = right[r] = LzhNoNode;
  int match_length = 0;
  int match_offset = s.LzhMatchOffset;
  int p = TreeRootOf(key);
  bool go_right = true;
  int i = 1;  // leading bytes the key is known to share with p
  for (;;) {
    int16_t* link = go_right ? &right[p] : &left[p];
    if (*link == LzhNoNode) {
      *link = static_cast<int16_t>(r);
      parent[r] = static_cast<int16_t>(p);
      shared[r] = static_cast<uint8_t>(i);
      break;
    }
    p = *link;
    const uint8_t* node = ring + p;
    const int t = shared[p];
    if (t < i) {
      // The key agrees with p's parent in i bytes and p with it in t: with p in exactly t.
      i = t;
      go_right = key[t] > node[t];
    } else if (t == i) {
      i = SharedLength(key, node, i);
      if (i < LzhMaxMatch) go_right = key[i] > node[i];
    }
    // t > i: the key differs from p where it differed from p's parent; the direction stands.
    if (i < LzhMinMatch) continue;
    const int d = ((r - p) & LzhRingMask) - 1;
    if (i > match_length) {
      match_offset = d;
      match_length = i;
      if (i >= LzhMaxMatch) {
        // No two strings in the trees agree in all 60 bytes: r takes p's place.
        shared[r] = shared[p];
        parent[r] = parent[p];
        left[r] = left[p];
        right[r] = right[p];
        parent[left[p]] = static_cast<int16_t>(r);
        parent[right[p]] = static_cast<int16_t>(r);
        if (right[parent[p]] == p) {
          right[parent[p]] = static_cast<int16_t>(r);
        } else {
          left[parent[p]] = static_cast<int16_t>(r);
        }
        parent[p] = LzhNoNode;
        break;
      }
    } else if (i == match_length && d < match_offset) {
      match_offset = d;
    }
  }
  s.LzhMatchLength = static_cast<uint16_t>(match_length);
  s.LzhMatchOffset = static_cast<uint16_t>(match_offset);
}

void LzhDeletePosition(TCompThreadSafety& s, int p) {
  int16_t* left = s.TreeLeft.get();
  int16_t* right = s.TreeRight.get();
  int16_t* parent = s.TreeParent.get();
  const int dad = parent[p];
  if (dad == LzhNoNode) return;
  int q;
  if (right[p] == LzhNoNode) {
    q = left[p];
    if (q != LzhNoNode) LzhInheritShared(s, dad, p, q);
  } else if (left[p] == LzhNoNode) {
    q = right[p];
    LzhInheritShared(s, dad, p, q);
  } else {
    // Two children: the greatest string of the left subtree takes p's place.
    q = left[p];
    if (right[q] != LzhNoNode) {
      do q = right[q];
      while (right[q] != LzhNoNode);
      if (left[q] != LzhNoNode) LzhInheritShared(s, parent[q], q, left[q]);
      LzhMeasureShared(s, 1, q, left[p]);
      right[parent[q]] = left[q];
      parent[left[q]] = parent[q];
      left[q] = left[p];
      parent[left[p]] = static_cast<int16_t>(q);
    }
    LzhMeasureShared(s, 1, dad, q);
    LzhMeasureShared(s, 1, q, right[p]);
    right[q] = right[p];
    parent[right[p]] = static_cast<int16_t>(q);
  }
  parent[q] = static_cast<int16_t>(dad);
  if (right[dad] == p) {
    right[dad] = static_cast<int16_t>(q);
  } else {
    left[dad] = static_cast<int16_t>(q);
  }
  parent[p] = LzhNoNode;
}

void LzhCompress(TCompThreadSafety& s) {
  LzhWorkGuard guard(s);
  LzhAllocateWork(s);
  LzhStartModel(s);
  LzhInitTrees(s);

  // The whole ring and its tail start as spaces: the tail then mirrors positions 0..58 from the
  // start, and ring bytes past the end of a short input hold the same value on every run.
  uint8_t* ring = s.LzhRing.get();
  std::memset(ring, LzhRingFill, LzhRingEntries);
  int r = LzhRingStart;
  int sp = 0;  // (r + 60) mod 4096: the position whose byte is overwritten next

  int len = 0;  // bytes in the look-ahead
  while (len < LzhMaxMatch) {
    const uint8_t b = ReadByte(s);
    if (s.EndOfInput) break;
    ring[r + len] = b;
    ++len;
  }
  if (len == 0) return;

  for (int k = 1; k <= LzhMaxMatch; ++k) LzhInsertPosition(s, r - k);
  LzhInsertPosition(s, r);

  do {
    if (s.LzhMatchLength > len) s.LzhMatchLength = static_cast<uint16_t>(len);
    if (s.LzhMatchLength < LzhMinMatch) {
      s.LzhMatchLength = 1;
      LzhEncodeSymbol(s, ring[r]);
    } else {
      LzhEncodeSymbol(s, s.LzhMatchLength + LzhMatchSymbolBias);
      LzhEncodeOffset(s, s.LzhMatchOffset);
    }
    const int n = s.LzhMatchLength;
    int i = 0;
    // Once the input has ended nothing more is read: after a cancelled fetch, ReadByte would hand
    // out (and sum) the fetch's bytes although they are never packed.
    for (; i < n && !s.EndOfInput; ++i) {
      const uint8_t b = ReadByte(s);
      if (s.EndOfInput) break;
      LzhDeletePosition(s, sp);
      ring[sp] = b;
      if (sp < kTailMirror) ring[LzhRingSize + sp] = b;
      sp = (sp + 1) & LzhRingMask;
      r = (r + 1) & LzhRingMask;
      LzhInsertPosition(s, r);
    }
    // The input has ended: the look-ahead shrinks by one byte per position.
    for (; i < n; ++i) {
      LzhDeletePosition(s, sp);
      sp = (sp + 1) & LzhRingMask;
      r = (r + 1) & LzhRingMask;
      --len;
      if (len > 0) LzhInsertPosition(s, r);
    }
  } while (len > 0);
  LzhFlushBits(s);
}

}  // namespace qobz
