// Codes, costs and block writing of the smaller LH5 encoder (see lh5_best_block.h).
//
// Tried and left out: main code lengths chosen for their data bits plus their own bits in the
// table (a Lagrangian over the length alphabet's costs, iterated with that code): 0.02 to 0.05%
// smaller at 7 to 20 times the time. A table of about 300 used lengths costs some 100 bytes
// whatever is done; blocks cut finer would save item bits (2% at 6 times the blocks on a shared
// library) only if tables were far cheaper.
#include "codecs/lh5/lh5_best_block.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codecs/bit_stream.h"
#include "codecs/lh5/lh5_encoder.h"

namespace qobz::lh5best {

namespace {

// Deepest level a Huffman tree of 510 leaves can reach, plus room.
constexpr int kMaxTreeDepth = lh5::SymbolCount + 1;
// Rebuilds of the length alphabet's code from the zero-run choices made under the previous one.
constexpr int kTableRounds = 3;

// Bits of one entry of a short length list (length alphabet or position alphabet).
int ShortLengthBits(int k) {
  return k < lh5::ShortLengthEscape ? lh5::ShortLengthBits : k - (lh5::ShortLengthBits);
}

// Canonical codes, left-aligned in 16 bits: shorter codes are numerically smaller, and within one
// length the codes rise with the symbol number.
void CanonicalCodes(const uint8_t* lengths, int n, uint16_t* codes) {
  int count[lh5::MaxCodeLength + 1] = {};
  for (int i = 0; i < n; ++i) ++count[lengths[i]];
  uint32_t next[lh5::MaxCodeLength + 1] = {};
  uint32_t code = 0;
  for (int len = 1; len <= lh5::MaxCodeLength; ++len) {
    code = (code + static_cast<uint32_t>(count[len - 1] * (len > 1))) << 1;
    next[len] = code;
  }
  for (int i = 0; i < n; ++i) {
    const int len = lengths[i];
    codes[i] = len == 0 ? 0 : static_cast<uint16_t>(next[len]++ << (lh5::MaxCodeLength - len));
  }
}

// One symbol of the list in which the main code lengths are sent: a length-alphabet symbol and,
// for the two longer zero runs, its count field.
struct Token {
  uint8_t symbol;
  uint16_t extra;
};

// Count bits that follow a length-alphabet symbol.
int ExtraBits(int symbol) {
  return symbol == lh5::ShortZeroRunSymbol  ? lh5::ShortZeroRunBits
         : symbol == lh5::LongZeroRunSymbol ? lh5::LongZeroRunBits
                                            : 0;
}

// Tokens for the main lengths [0, n): each nonzero length as itself, each run of zeros split as
// cheaply as the costs (bits per length-alphabet symbol) allow. Returns the token count.
int TokenizeLengths(const uint8_t* lengths, int n, const uint32_t* cost, Token* out) {
  // best[k]: fewest bits for a run of k zeros; how[k]: the last piece of that split.
  uint32_t best[lh5::SymbolCount + 1];
  uint16_t how[lh5::SymbolCount + 1];
  const uint32_t c_one = cost[lh5::OneZeroSymbol];
  const uint32_t c_short = cost[lh5::ShortZeroRunSymbol] + lh5::ShortZeroRunBits;
  const uint32_t c_long = cost[lh5::LongZeroRunSymbol] + lh5::LongZeroRunBits;
  int tokens = 0;
  int i = 0;
  while (i < n) {
    if (lengths[i] != 0) {
      out[tokens++] = {static_cast<uint8_t>(lengths[i] + lh5::LengthSymbolOffset), 0};
      ++i;
      continue;
    }
    int z = 0;
    while (i + z < n && lengths[i + z] == 0) ++z;
    best[0] = 0;
    for (int k = 1; k <= z; ++k) {
      best[k] = best[k - 1] + c_one;
      how[k] = 1;
      for (int j = lh5::ShortZeroRunBase; j <= std::min(k, lh5::ShortZeroRunMax); ++j) {
        if (best[k - j] + c_short < best[k]) {
          best[k] = best[k - j] + c_short;
          how[k] = static_cast<uint16_t>(j);
        }
      }
      for (int j = lh5::LongZeroRunBase; j <= std::min(k, lh5::LongZeroRunMax); ++j) {
        if (best[k - j] + c_long < best[k]) {
          best[k] = best[k - j] + c_long;
          how[k] = static_cast<uint16_t>(j);
        }
      }
    }
    // The pieces come out last first; their order within the run does not matter.
    for (int k = z; k > 0; k -= how[k]) {
      const int j = how[k];
      if (j == 1) {
        out[tokens++] = {lh5::OneZeroSymbol, 0};
      } else if (j <= lh5::ShortZeroRunMax) {
        out[tokens++] = {lh5::ShortZeroRunSymbol, static_cast<uint16_t>(j - lh5::ShortZeroRunBase)};
      } else {
        out[tokens++] = {lh5::LongZeroRunSymbol, static_cast<uint16_t>(j - lh5::LongZeroRunBase)};
      }
    }
    i += z;
  }
  return tokens;
}

// Bits of a short length list of n entries with a count field of width bits; with special, the
// 2-bit zero-run field after the third entry.
int ShortListBits(const uint8_t* lengths, int n, int width, bool special) {
  while (n > 0 && lengths[n - 1] == 0) --n;
  int bits = width;
  int i = 0;
  while (i < n) {
    bits += ShortLengthBits(lengths[i++]);
    if (special && i == lh5::LengthListZeroRunAfter) {
      while (i < 6 && i < n && lengths[i] == 0) ++i;
      bits += lh5::LengthListZeroRunBits;
    }
  }
  return bits;
}

// Writes a short list; pad zero lengths follow the last used one (0 or 1, within n).
void WriteShortList(TCompThreadSafety& s, const uint8_t* lengths, int n, int width, bool special,
                    int pad) {
  const int size = n;
  while (n > 0 && lengths[n - 1] == 0) --n;
  n = std::min(n + pad, size);
  WriteBits(s, width, static_cast<uint16_t>(n));
  int i = 0;
  while (i < n) {
    const int k = lengths[i++];
    if (k < lh5::ShortLengthEscape) {
      WriteBits(s, lh5::ShortLengthBits, static_cast<uint16_t>(k));
    } else {
      WriteBits(s, k - lh5::ShortLengthBits, 0xFFFE);  // k - 4 ones, then a zero
    }
    if (special && i == lh5::LengthListZeroRunAfter) {
      const int from = i;
      while (i < 6 && i < n && lengths[i] == 0) ++i;
      WriteBits(s, lh5::LengthListZeroRunBits, static_cast<uint16_t>(i - from));
    }
  }
}

// Gives an alphabet of one used symbol a second one, so that its code is sent as a list: some
// readers refuse the one-symbol form of the main and length alphabets.
void TwoSymbols(const uint32_t* freq, int n, uint8_t* lengths) {
  int only = 0;
  while (only < n - 1 && freq[only] == 0) ++only;
  lengths[only] = 1;
  lengths[only == 0 ? 1 : 0] = 1;
}

int FirstUsed(const uint32_t* freq, int n) {
  for (int i = 0; i < n; ++i) {
    if (freq[i] != 0) return i;
  }
  return 0;
}

}  // namespace

void Counts::Clear() {
  std::fill(std::begin(main), std::end(main), 0);
  std::fill(std::begin(position), std::end(position), 0);
}

void Counts::Add(const Item& item) {
  ++main[item.symbol];
  if (item.symbol >= lh5::LiteralCount) ++position[BitLength(item.value)];
}

int BuildLengths(const uint32_t* freq, int n, uint8_t* lengths) {
  // Leaves sorted by count (ties by symbol), then internal nodes in the order they are made, whose
  // weights never fall: the two lightest of both queues are merged each time.
  uint32_t weight[2 * lh5::SymbolCount];
  uint16_t symbol[lh5::SymbolCount];
  uint16_t parent[2 * lh5::SymbolCount];
  int used = 0;
  for (int i = 0; i < n; ++i) {
    lengths[i] = 0;
    if (freq[i] != 0) symbol[used++] = static_cast<uint16_t>(i);
  }
  if (used <= 1) return used;
  std::sort(symbol, symbol + used,
            [&](uint16_t a, uint16_t b) { return freq[a] != freq[b] ? freq[a] < freq[b] : a < b; });
  for (int i = 0; i < used; ++i) weight[i] = freq[symbol[i]];
  int leaf = 0;
  int inner = used;
  for (int next = used; next < 2 * used - 1; ++next) {
    int pick[2];
    for (int& p : pick) {
      if (leaf < used && (inner >= next || weight[leaf] <= weight[inner])) {
        p = leaf++;
      } else {
        p = inner++;
      }
    }
    weight[next] = weight[pick[0]] + weight[pick[1]];
    parent[pick[0]] = parent[pick[1]] = static_cast<uint16_t>(next);
  }
  // Depths, top down (a parent is always made after its children); weight now holds depths.
  const int root = 2 * used - 2;
  weight[root] = 0;
  int count[kMaxTreeDepth + 1] = {};
  for (int i = root - 1; i >= 0; --i) {
    weight[i] = weight[parent[i]] + 1;
    if (i < used) ++count[weight[i]];
  }
  // Limit to 16 bits: two leaves at the deepest level leave it, one joins a leaf one level up as
  // its sibling and that leaf's old place takes the other; the code stays complete.
  for (int depth = kMaxTreeDepth; depth > lh5::MaxCodeLength; --depth) {
    while (count[depth] > 0) {
      int j = depth - 2;
      while (count[j] == 0) --j;
      count[depth] -= 2;
      ++count[depth - 1];
      count[j + 1] += 2;
      --count[j];
    }
  }
  // The rarest symbols get the longest codes.
  int at = 0;
  for (int len = lh5::MaxCodeLength; len >= 1; --len) {
    for (int c = count[len]; c > 0; --c) lengths[symbol[at++]] = static_cast<uint8_t>(len);
  }
  return used;
}

void CostModel::FromCounts(const Counts& counts) {
  // -log2 of each symbol's share: a little finer than the code lengths built from the same
  // counts, which the parse approaches anyway. A symbol the counts lack costs as much as one seen
  // a quarter as often as the rarest could be; an alphabet of one used symbol costs nothing (the
  // main alphabet a bit: it gets a second symbol).
  constexpr double kMissing = 2.0;
  auto costs = [](const uint32_t* freq, int n, uint32_t* out, uint32_t single) {
    uint32_t total = 0;
    int used = 0;
    for (int i = 0; i < n; ++i) {
      total += freq[i];
      used += freq[i] != 0;
    }
    const double missing = std::log2(static_cast<double>(total) + 1) + kMissing;
    for (int i = 0; i < n; ++i) {
      const double bits = freq[i] == 0 ? missing
                          : used <= 1  ? single
                                       : std::log2(static_cast<double>(total) / freq[i]);
      out[i] = static_cast<uint32_t>(bits * kCostScale + 0.5);
    }
  };
  uint32_t main[lh5::SymbolCount];
  costs(counts.main, lh5::SymbolCount, main, 1);
  costs(counts.position, lh5::PositionCodeCount, position, 0);
  std::copy(main, main + lh5::LiteralCount, literal);
  length[0] = length[1] = length[2] = 0;
  for (int len = lh5::MinMatch; len <= lh5::MaxMatch; ++len)
    length[len] = main[len + lh5::MatchSymbolOffset];
  for (int k = 2; k < lh5::PositionCodeCount; ++k)
    position[k] += kCostScale * static_cast<uint32_t>(k - 1);  // the extra bits
}

void CostModel::FromCode(const Counts& counts) {
  uint8_t main[lh5::SymbolCount];
  uint8_t pos[lh5::PositionCodeCount];
  if (BuildLengths(counts.main, lh5::SymbolCount, main) <= 1)
    TwoSymbols(counts.main, lh5::SymbolCount, main);
  BuildLengths(counts.position, lh5::PositionCodeCount, pos);
  int longest = 1;
  for (uint8_t l : main) longest = std::max<int>(longest, l);
  auto main_cost = [&](int x) {
    return kCostScale * static_cast<uint32_t>(main[x] != 0 ? main[x] : longest + 2);
  };
  for (int i = 0; i < lh5::LiteralCount; ++i) literal[i] = main_cost(i);
  length[0] = length[1] = length[2] = 0;
  for (int len = lh5::MinMatch; len <= lh5::MaxMatch; ++len)
    length[len] = main_cost(len + lh5::MatchSymbolOffset);
  int longest_pos = 1;
  for (uint8_t l : pos) longest_pos = std::max<int>(longest_pos, l);
  for (int k = 0; k < lh5::PositionCodeCount; ++k) {
    const uint32_t code = pos[k] != 0 || counts.position[k] != 0 ? pos[k] : longest_pos + 2;
    position[k] = kCostScale * (code + static_cast<uint32_t>(k > 1 ? k - 1 : 0));
  }
}

namespace {

// The codes of one block and the tokens that send its main code lengths.
struct BlockCode {
  uint8_t main_len[lh5::SymbolCount];
  int sent;  // main lengths sent: up to the last used symbol
  Token tokens[lh5::SymbolCount];
  int token_count;
  uint8_t t_len[lh5::LengthCodeCount];
  int64_t table_bits;  // the length-alphabet list and the tokens
  uint8_t pos_len[lh5::PositionCodeCount];
  int pos_used;
};

void BuildBlockCode(const Counts& counts, BlockCode& code) {
  // Main code, never in the one-symbol form.
  uint8_t* main_len = code.main_len;
  if (BuildLengths(counts.main, lh5::SymbolCount, main_len) <= 1)
    TwoSymbols(counts.main, lh5::SymbolCount, main_len);
  int sent = lh5::SymbolCount;
  while (main_len[sent - 1] == 0) --sent;
  code.sent = sent;

  // The main lengths in the length alphabet: zero runs split under the previous round's code, the
  // code rebuilt from the result; the cheapest round is kept. Its code is never in the one-symbol
  // form either.
  Token tokens[lh5::SymbolCount];
  uint8_t t_len[lh5::LengthCodeCount];
  code.table_bits = INT64_MAX;
  uint32_t cost[lh5::LengthCodeCount];
  std::fill(std::begin(cost), std::end(cost), 4u);  // first round: every symbol alike
  for (int round = 0; round < kTableRounds; ++round) {
    const int n = TokenizeLengths(main_len, sent, cost, tokens);
    uint32_t freq[lh5::LengthCodeCount] = {};
    for (int i = 0; i < n; ++i) ++freq[tokens[i].symbol];
    if (BuildLengths(freq, lh5::LengthCodeCount, t_len) <= 1)
      TwoSymbols(freq, lh5::LengthCodeCount, t_len);
    int64_t bits = ShortListBits(t_len, lh5::LengthCodeCount, lh5::LengthCountBits, true);
    for (int i = 0; i < n; ++i) bits += t_len[tokens[i].symbol] + ExtraBits(tokens[i].symbol);
    if (bits < code.table_bits) {
      code.table_bits = bits;
      code.token_count = n;
      std::copy(tokens, tokens + n, code.tokens);
      std::copy(std::begin(t_len), std::end(t_len), code.t_len);
    }
    int longest = 1;
    for (uint8_t l : t_len) longest = std::max<int>(longest, l);
    for (int x = 0; x < lh5::LengthCodeCount; ++x)
      cost[x] = t_len[x] != 0 ? t_len[x] : static_cast<uint32_t>(longest + 2);
  }
  code.pos_used = BuildLengths(counts.position, lh5::PositionCodeCount, code.pos_len);
}

// Bits of a block's header and tables.
int64_t HeaderBits(const BlockCode& code) {
  return lh5::BlockSizeBits + code.table_bits + lh5::SymbolCountBits +
         (code.pos_used <= 1
              ? 2 * lh5::PositionCountBits
              : ShortListBits(code.pos_len, lh5::PositionCodeCount, lh5::PositionCountBits, false));
}

}  // namespace

int64_t BlockBits(const Counts& counts) {
  BlockCode code;
  BuildBlockCode(counts, code);
  int64_t bits = HeaderBits(code);
  for (int x = 0; x < lh5::SymbolCount; ++x) bits += int64_t{counts.main[x]} * code.main_len[x];
  for (int k = 0; k < lh5::PositionCodeCount; ++k)
    bits += int64_t{counts.position[k]} * (code.pos_len[k] + (k > 1 ? k - 1 : 0));
  return bits;
}

void WriteBlock(TCompThreadSafety& s, const Item* items, int count, bool last) {
  Counts counts;
  counts.Clear();
  for (int i = 0; i < count; ++i) counts.Add(items[i]);
  BlockCode code;
  BuildBlockCode(counts, code);
  const uint8_t* main_len = code.main_len;
  uint16_t main_code[lh5::SymbolCount];
  CanonicalCodes(main_len, lh5::SymbolCount, main_code);
  const uint8_t* best_t_len = code.t_len;

  uint16_t t_code[lh5::LengthCodeCount];
  CanonicalCodes(best_t_len, lh5::LengthCodeCount, t_code);

  // Position code.
  const uint8_t* pos_len = code.pos_len;
  const int pos_used = code.pos_used;
  uint16_t pos_code[lh5::PositionCodeCount];
  CanonicalCodes(pos_len, lh5::PositionCodeCount, pos_code);

  // A stream whose last code ends exactly at a byte boundary may lose its end in jlha, and one
  // with a whole byte to spare is refused by bsdtar: the last block is made one list entry longer
  // (3 bits) when it would end on a boundary.
  int t_pad = 0;
  int pos_pad = 0;
  if (last) {
    int64_t bits = HeaderBits(code);
    for (int i = 0; i < count; ++i) {
      bits += main_len[items[i].symbol];
      if (items[i].symbol >= lh5::LiteralCount) {
        const int k = BitLength(items[i].value);
        bits += pos_len[k] + (k > 1 ? k - 1 : 0);
      }
    }
    if ((s.OutCount * int64_t{8} + (8 - s.BitCount) + bits) % 8 == 0) {
      if (best_t_len[lh5::LengthCodeCount - 1] == 0) {
        t_pad = 1;
      } else if (pos_used > 1 && pos_len[lh5::PositionCodeCount - 1] == 0) {
        pos_pad = 1;
      }
    }
  }

  WriteBits(s, lh5::BlockSizeBits, static_cast<uint16_t>(count));
  WriteShortList(s, best_t_len, lh5::LengthCodeCount, lh5::LengthCountBits, true, t_pad);
  WriteBits(s, lh5::SymbolCountBits, static_cast<uint16_t>(code.sent));
  for (int i = 0; i < code.token_count; ++i) {
    const Token& tk = code.tokens[i];
    WriteCodeBits(s, best_t_len[tk.symbol], t_code[tk.symbol]);
    if (ExtraBits(tk.symbol) != 0) WriteBits(s, ExtraBits(tk.symbol), tk.extra);
  }
  if (pos_used <= 1) {
    WriteBits(s, lh5::PositionCountBits, 0);
    WriteBits(s, lh5::PositionCountBits,
              static_cast<uint16_t>(FirstUsed(counts.position, lh5::PositionCodeCount)));
  } else {
    WriteShortList(s, pos_len, lh5::PositionCodeCount, lh5::PositionCountBits, false, pos_pad);
  }

  for (int i = 0; i < count; ++i) {
    const Item& it = items[i];
    WriteCodeBits(s, main_len[it.symbol], main_code[it.symbol]);
    if (it.symbol >= lh5::LiteralCount) {
      const int k = BitLength(it.value);
      WriteCodeBits(s, pos_len[k], pos_code[k]);
      if (k > 1) WriteBits(s, k - 1, it.value);
    }
  }
}

}  // namespace qobz::lh5best
