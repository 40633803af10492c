// The LH5 block writer: one block of the stream from the counts and items of lh5_encode.cpp.
//
// Each block carries three codes built from its own counts: the main alphabet (literals and match
// lengths), the length alphabet (in which the main code lengths are sent) and the position
// alphabet (distance classes). Trees are built with a binary heap whose tie-breaks are fixed,
// lengths are limited to 16 bits by pushing the excess down to the longest codes, and code values
// are canonical. An alphabet with one used symbol is sent in the one-symbol form, so its symbols
// then cost no bits. All bits go through the bit writer.
#include <algorithm>
#include <cstring>

#include "codecs/bit_stream.h"
#include "codecs/lh5/lh5_encoder.h"

namespace qobz {

namespace {

// The code tree being built: a 1-based heap of symbol and node numbers ordered by frequency.
struct HeapBuilder {
  TLH5EncoderTables& t;
  int n;           // alphabet size: leaves are below n, internal nodes from n on
  uint16_t* freq;  // counts, then the internal nodes' sums
  int heap[lh5::SymbolCount + 1];
  int heapsize = 0;

  // Sifts heap[i] down. On equal frequencies the left child is taken, and the entry that moves
  // down stops above an equal child.
  void RestoreHeap(int i) {
    const int key = heap[i];
    for (;;) {
      int j = 2 * i;
      if (j > heapsize) break;
      if (j < heapsize && freq[heap[j]] > freq[heap[j + 1]]) ++j;
      if (freq[key] <= freq[heap[j]]) break;
      heap[i] = heap[j];
      i = j;
    }
    heap[i] = key;
  }

  // Counts the leaves below x per depth; leaves deeper than the longest code count at 16.
  void CountDepths(int x, int depth) {
    if (x < n) {
      ++t.LengthCount[std::min(depth, lh5::MaxCodeLength)];
    } else {
      CountDepths(t.LeftChild[x], depth + 1);
      CountDepths(t.RightChild[x], depth + 1);
    }
  }

  // Turns the tree's depths into code lengths of at most 16 bits. list holds the leaves in the
  // order they left the heap: the rarest first, so they receive the longest codes.
  void LimitLengths(int root, const uint16_t* list, uint8_t* lengths) {
    int* count = t.LengthCount;
    std::fill(count, count + lh5::MaxCodeLength + 1, 0);
    CountDepths(root, 0);
    // Kraft sum in 16-bit units; a complete tree within 16 levels sums to 65536, that is 0.
    uint16_t sum = 0;
    for (int i = 1; i <= lh5::MaxCodeLength; ++i)
      sum = static_cast<uint16_t>(sum + (count[i] << (lh5::MaxCodeLength - i)));
    if (sum != 0) {
      count[lh5::MaxCodeLength] -= sum;
      // Each step turns one code of the longest length below 16 into two codes one bit longer.
      for (int k = 0; k < sum; ++k) {
        for (int i = lh5::MaxCodeLength - 1; i >= 1; --i) {
          if (count[i] > 0) {
            --count[i];
            count[i + 1] += 2;
            break;
          }
        }
      }
    }
    int next = 0;
    for (int i = lh5::MaxCodeLength; i >= 1; --i) {
      for (int c = count[i]; c > 0; --c) lengths[list[next++]] = static_cast<uint8_t>(i);
    }
  }
};

// Canonical left-aligned codes from the lengths and the per-length counts: shorter codes are
// numerically smaller, and within one length the codes rise with the symbol number.
void AssignCodes(const TLH5EncoderTables& t, int n, const uint8_t* lengths, uint16_t* codes) {
  uint16_t start[lh5::MaxCodeLength + 1] = {};
  uint16_t weight[lh5::MaxCodeLength + 1] = {};
  uint16_t total = 0;
  for (int i = 1; i <= lh5::MaxCodeLength; ++i) {
    start[i] = total;
    weight[i] = static_cast<uint16_t>(1u << (lh5::MaxCodeLength - i));
    total = static_cast<uint16_t>(total + weight[i] * t.LengthCount[i]);
  }
  for (int x = 0; x < n; ++x) {
    const int len = lengths[x];
    codes[x] = start[len];
    start[len] = static_cast<uint16_t>(start[len] + weight[len]);
  }
}

// The forms a zero run takes here: one or two zeros go as single zeros, 3..18 as a short run, 19
// as a single zero and a run of 18, 20 and up as a long run.
static_assert(lh5::ShortZeroRunMax + 2 == lh5::LongZeroRunBase);

// Length of a run of zero lengths starting at lengths[i - 1] (already known to be 0), within n;
// advances i past it.
int ZeroRun(const uint8_t* lengths, int n, int& i) {
  int z = 1;
  while (i < n && lengths[i] == 0) {
    ++i;
    ++z;
  }
  return z;
}

// Number of main-alphabet lengths sent: trailing zero lengths are not.
int SentSymbolLengths(const TLH5EncoderTables& t) {
  int n = lh5::SymbolCount;
  while (n > 0 && t.SymbolLengths[n - 1] == 0) --n;
  return n;
}

// Counts the length-alphabet symbols that WriteSymbolLengths will send.
void TallyLengthSymbols(TLH5EncoderTables& t) {
  std::fill(t.LengthFreq, t.LengthFreq + lh5::LengthCodeCount, 0);
  const int n = SentSymbolLengths(t);
  int i = 0;
  while (i < n) {
    const int k = t.SymbolLengths[i++];
    if (k != 0) {
      ++t.LengthFreq[k + lh5::LengthSymbolOffset];
      continue;
    }
    const int z = ZeroRun(t.SymbolLengths, n, i);
    if (z < lh5::ShortZeroRunBase) {
      t.LengthFreq[lh5::OneZeroSymbol] =
          static_cast<uint16_t>(t.LengthFreq[lh5::OneZeroSymbol] + z);
    } else if (z <= lh5::ShortZeroRunMax) {
      ++t.LengthFreq[lh5::ShortZeroRunSymbol];
    } else if (z < lh5::LongZeroRunBase) {
      ++t.LengthFreq[lh5::OneZeroSymbol];
      ++t.LengthFreq[lh5::ShortZeroRunSymbol];
    } else {
      ++t.LengthFreq[lh5::LongZeroRunSymbol];
    }
  }
}

constexpr int kNoSpecial = -1;

// Writes ShortLengths[0..n-1] as a short length list: a count of width bits, then each length in
// 3 bits up to 6, else as k - 4 one bits and a zero. After the special-th length, a 2-bit field
// counts the zero lengths that follow among entries 3..5, which are then skipped.
void WriteShortLengths(TCompThreadSafety& s, const TLH5EncoderTables& t, int n, int width,
                       int special) {
  while (n > 0 && t.ShortLengths[n - 1] == 0) --n;
  WriteBits(s, width, static_cast<uint16_t>(n));
  int i = 0;
  while (i < n) {
    const int k = t.ShortLengths[i++];
    if (k < lh5::ShortLengthEscape) {
      WriteBits(s, lh5::ShortLengthBits, static_cast<uint16_t>(k));
    } else {
      // 111, then k - 7 one bits and a zero: k - 3 bits, all ones but the last.
      WriteBits(s, lh5::ShortLengthBits + (k - lh5::ShortLengthEscape) + 1, 0xFFFE);
    }
    if (i == special) {
      const int skip_end = special + (1 << lh5::LengthListZeroRunBits) - 1;
      while (i < skip_end && t.ShortLengths[i] == 0) ++i;
      WriteBits(s, lh5::LengthListZeroRunBits, static_cast<uint16_t>(i - special));
    }
  }
}

void WriteLengthSymbol(TCompThreadSafety& s, const TLH5EncoderTables& t, int x) {
  WriteCodeBits(s, t.ShortLengths[x], t.ShortCodes[x]);
}

// Writes the main alphabet's lengths in the length alphabet's code, with zero runs.
void WriteSymbolLengths(TCompThreadSafety& s, const TLH5EncoderTables& t) {
  const int n = SentSymbolLengths(t);
  WriteBits(s, lh5::SymbolCountBits, static_cast<uint16_t>(n));
  int i = 0;
  while (i < n) {
    const int k = t.SymbolLengths[i++];
    if (k != 0) {
      WriteLengthSymbol(s, t, k + lh5::LengthSymbolOffset);
      continue;
    }
    const int z = ZeroRun(t.SymbolLengths, n, i);
    if (z < lh5::ShortZeroRunBase) {
      for (int j = 0; j < z; ++j) WriteLengthSymbol(s, t, lh5::OneZeroSymbol);
    } else if (z <= lh5::ShortZeroRunMax) {
      WriteLengthSymbol(s, t, lh5::ShortZeroRunSymbol);
      WriteBits(s, lh5::ShortZeroRunBits, static_cast<uint16_t>(z - lh5::ShortZeroRunBase));
    } else if (z < lh5::LongZeroRunBase) {
      WriteLengthSymbol(s, t, lh5::OneZeroSymbol);
      WriteLengthSymbol(s, t, lh5::ShortZeroRunSymbol);
      WriteBits(s, lh5::ShortZeroRunBits,
                static_cast<uint16_t>(lh5::ShortZeroRunMax - lh5::ShortZeroRunBase));
    } else {
      WriteLengthSymbol(s, t, lh5::LongZeroRunSymbol);
      WriteBits(s, lh5::LongZeroRunBits, static_cast<uint16_t>(z - lh5::LongZeroRunBase));
    }
  }
}

}  // namespace

int BuildCode(TLH5EncoderTables& t, int n, uint16_t* freq, uint8_t* lengths, uint16_t* codes) {
  HeapBuilder h{t, n, freq, {}, 0};
  h.heap[1] = 0;
  for (int i = 0; i < n; ++i) {
    lengths[i] = 0;
    if (freq[i] != 0) h.heap[++h.heapsize] = i;
  }
  if (h.heapsize < 2) {
    codes[h.heap[1]] = 0;
    return h.heap[1];
  }
  for (int i = h.heapsize / 2; i >= 1; --i) h.RestoreHeap(i);

  // The leaves in the order they leave the heap, kept in codes until AssignCodes overwrites it.
  uint16_t* list = codes;
  int listed = 0;
  int next = n;
  int k = n;
  while (h.heapsize > 1) {
    const int i = h.heap[1];
    if (i < n) list[listed++] = static_cast<uint16_t>(i);
    h.heap[1] = h.heap[h.heapsize--];
    h.RestoreHeap(1);
    const int j = h.heap[1];
    if (j < n) list[listed++] = static_cast<uint16_t>(j);
    k = next++;
    freq[k] = static_cast<uint16_t>(freq[i] + freq[j]);
    h.heap[1] = k;
    h.RestoreHeap(1);
    t.LeftChild[k] = static_cast<uint16_t>(i);
    t.RightChild[k] = static_cast<uint16_t>(j);
  }
  h.LimitLengths(k, list, lengths);
  AssignCodes(t, n, lengths, codes);
  return k;
}

void EmitSymbol(TCompThreadSafety& s, const TLH5EncoderTables& t, int x) {
  WriteCodeBits(s, t.SymbolLengths[x], t.SymbolCodes[x]);
}

void EmitPosition(TCompThreadSafety& s, const TLH5EncoderTables& t, int v) {
  const int k = BitLength(static_cast<unsigned>(v));
  WriteCodeBits(s, t.ShortLengths[k], t.ShortCodes[k]);
  if (k > 1) WriteBits(s, k - 1, static_cast<uint16_t>(v));
}

namespace {
void EmitItems(TCompThreadSafety& s, const TLH5EncoderTables& t, int size);
void EmitItemsBitwise(TCompThreadSafety& s, const TLH5EncoderTables& t, int size);
}  // namespace

void FlushBlock(TCompThreadSafety& s, TLH5EncoderTables& t) {
  const int root = BuildCode(t, lh5::SymbolCount, t.SymbolFreq, t.SymbolLengths, t.SymbolCodes);
  // For a block of one distinct symbol the root is that symbol and its count is the item count.
  const uint16_t size = t.SymbolFreq[root];
  WriteBits(s, lh5::BlockSizeBits, size);
  if (root >= lh5::SymbolCount) {
    TallyLengthSymbols(t);
    const int root_t =
        BuildCode(t, lh5::LengthCodeCount, t.LengthFreq, t.ShortLengths, t.ShortCodes);
    if (root_t >= lh5::LengthCodeCount) {
      WriteShortLengths(s, t, lh5::LengthCodeCount, lh5::LengthCountBits,
                        lh5::LengthListZeroRunAfter);
    } else {
      WriteBits(s, lh5::LengthCountBits, 0);
      WriteBits(s, lh5::LengthCountBits, static_cast<uint16_t>(root_t));
    }
    WriteSymbolLengths(s, t);
  } else {
    // One distinct main symbol: no length-alphabet table, just the one-symbol forms.
    WriteBits(s, lh5::LengthCountBits, 0);
    WriteBits(s, lh5::LengthCountBits, 0);
    WriteBits(s, lh5::SymbolCountBits, 0);
    WriteBits(s, lh5::SymbolCountBits, static_cast<uint16_t>(root));
  }

  // The position code replaces the length code in ShortLengths and ShortCodes.
  const int root_p =
      BuildCode(t, lh5::PositionCodeCount, t.PositionFreq, t.ShortLengths, t.ShortCodes);
  if (root_p >= lh5::PositionCodeCount) {
    WriteShortLengths(s, t, lh5::PositionCodeCount, lh5::PositionCountBits, kNoSpecial);
  } else {
    WriteBits(s, lh5::PositionCountBits, 0);
    WriteBits(s, lh5::PositionCountBits, static_cast<uint16_t>(root_p));
  }

  // An item takes at most a 16-bit symbol code, a 16-bit position code and 12 extra bits, so
  // when the output limit leaves room for that many bits per item, no byte of the block can
  // raise EUnableToCompress and the items go through a local bit accumulator.
  constexpr int64_t kMaxItemBits = 2 * lh5::MaxCodeLength + lh5::PositionCodeCount - 2;
  if (static_cast<int64_t>(s.OutLimit) * 8 >= int64_t{size} * kMaxItemBits + 8) {
    EmitItems(s, t, size);
  } else {
    EmitItemsBitwise(s, t, size);
  }

  std::fill(t.SymbolFreq, t.SymbolFreq + lh5::SymbolCount, 0);
  std::fill(t.PositionFreq, t.PositionFreq + lh5::PositionCodeCount, 0);
}

namespace {

// Walks the items of a block in order: a flag byte before every eight items says which are
// matches (3 bytes: length symbol - LiteralCount, then the 16-bit position) and which literals (1
// byte).
template <typename Literal, typename Match>
inline void ForEachItem(const TLH5EncoderTables& t, int size, Literal literal, Match match) {
  const uint8_t* item = t.ItemBuffer;
  uint8_t flags = 0;
  for (int n = 0; n < size; ++n) {
    if ((n & 7) == 0) {
      flags = *item++;
    } else {
      flags = static_cast<uint8_t>(flags << 1);
    }
    if (flags & 0x80) {
      match(*item + lh5::LiteralCount, (item[1] << 8) | item[2]);
      item += 3;
    } else {
      literal(*item++);
    }
  }
}

// The items of a block through the bit layer, code by code.
void EmitItemsBitwise(TCompThreadSafety& s, const TLH5EncoderTables& t, int size) {
  ForEachItem(
      t, size, [&](int symbol) { EmitSymbol(s, t, symbol); },
      [&](int symbol, int position) {
        EmitSymbol(s, t, symbol);
        EmitPosition(s, t, position);
      });
}

// The same bits and the same WriteByte calls in the same order, with the pending bits kept in a
// local word: acc holds `pending` (0..7 between items) bits not yet written, right-aligned.
// The caller has made sure that WriteByte cannot throw, so the bit layer's fields need to be
// right only at the end.
void EmitItems(TCompThreadSafety& s, const TLH5EncoderTables& t, int size) {
  int pending = 8 - s.BitCount;
  uint64_t acc = s.BitByte >> s.BitCount;
  auto put = [&](int len, uint32_t bits) {  // bits: right-aligned, len 0..16
    acc = (acc << len) | bits;
    pending += len;
  };
  auto drain = [&] {
    while (pending >= 8) {
      pending -= 8;
      WriteByte(s, static_cast<uint8_t>(acc >> pending));
    }
  };
  auto code = [](int len, uint16_t w) -> uint32_t { return len == 0 ? 0 : w >> (16 - len); };
  auto symbol = [&](int x) { put(t.SymbolLengths[x], code(t.SymbolLengths[x], t.SymbolCodes[x])); };
  ForEachItem(
      t, size,
      [&](int x) {
        symbol(x);
        drain();
      },
      [&](int x, int v) {
        symbol(x);
        const int k = BitLength(static_cast<unsigned>(v));
        put(t.ShortLengths[k], code(t.ShortLengths[k], t.ShortCodes[k]));
        if (k > 1) put(k - 1, static_cast<uint32_t>(v) & ((1u << (k - 1)) - 1));
        drain();
      });
  s.BitCount = static_cast<uint8_t>(8 - pending);
  s.BitByte = static_cast<uint8_t>(acc << (8 - pending));
}

}  // namespace

}  // namespace qobz
