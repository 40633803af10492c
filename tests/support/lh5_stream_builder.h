// Test-only writer of LH5 streams, valid or deliberately broken.
//
// BitSink writes fields most significant bit first. Lh5StreamBuilder turns a list of items
// (literals and matches) into blocks with Huffman codes of its own choosing, or with code lengths
// the test dictates, so that tests can make streams with long codes, many blocks, far matches,
// and broken headers, independently of the project's encoder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <queue>
#include <stdexcept>
#include <vector>

namespace qobz::test {

class BitSink {
 public:
  // Appends the low n bits of v (n up to 32), first bit first.
  void Put(int n, uint32_t v) {
    for (int i = n - 1; i >= 0; --i) PutBit((v >> i) & 1);
  }
  void PutBit(uint32_t bit) {
    acc_ = static_cast<uint8_t>(acc_ | (bit << (7 - used_)));
    if (++used_ == 8) {
      bytes_.push_back(acc_);
      acc_ = 0;
      used_ = 0;
    }
  }
  size_t BitCount() const { return bytes_.size() * 8 + used_; }
  // The bytes so far, a partial last byte filled with zero bits.
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out = bytes_;
    if (used_ != 0) out.push_back(acc_);
    return out;
  }

 private:
  std::vector<uint8_t> bytes_;
  uint8_t acc_ = 0;
  int used_ = 0;
};

struct Lh5Item {
  uint16_t symbol;    // 0..255 literal, 256..509 match of length symbol - 253
  uint16_t distance;  // d: the match copies from d + 1 bytes back
  static Lh5Item Literal(uint8_t b) { return {b, 0}; }
  static Lh5Item Match(int length, int d) {
    return {static_cast<uint16_t>(length + 253), static_cast<uint16_t>(d)};
  }
};

// Distance class of d: 0 for d = 0, else the bit length of d.
inline int PositionClass(uint32_t d) {
  int j = 0;
  while (d != 0) {
    ++j;
    d >>= 1;
  }
  return j;
}

// Huffman code lengths for the given frequencies, at most max_len bits. Symbols of frequency 0
// get 0. Frequencies are flattened until the limit holds.
inline std::vector<int> HuffmanLengths(std::vector<uint64_t> freq, int max_len = 16) {
  const size_t n = freq.size();
  for (;;) {
    std::vector<int> len(n, 0);
    struct Node {
      uint64_t w;
      int id;
    };
    auto cmp = [](const Node& a, const Node& b) { return a.w != b.w ? a.w > b.w : a.id > b.id; };
    std::priority_queue<Node, std::vector<Node>, decltype(cmp)> q(cmp);
    std::vector<int> parent;
    for (size_t i = 0; i < n; ++i) {
      if (freq[i] != 0) q.push({freq[i], static_cast<int>(i)});
    }
    parent.assign(n, -1);
    if (q.size() < 2) return len;  // callers send 0 or 1 used symbols in the single-symbol form
    int next_id = static_cast<int>(n);
    while (q.size() > 1) {
      Node a = q.top();
      q.pop();
      Node b = q.top();
      q.pop();
      parent.push_back(-1);
      parent[a.id] = next_id;
      parent[b.id] = next_id;
      q.push({a.w + b.w, next_id++});
    }
    int longest = 0;
    for (size_t i = 0; i < n; ++i) {
      if (freq[i] == 0) continue;
      int depth = 0;
      for (int p = static_cast<int>(i); parent[p] != -1; p = parent[p]) ++depth;
      len[i] = depth;
      longest = std::max(longest, depth);
    }
    if (longest <= max_len) return len;
    for (auto& f : freq) {
      if (f != 0) f = (f + 1) / 2;
    }
  }
}

// Canonical codes: by length, then by symbol, counting up from zero.
inline std::vector<uint32_t> CanonicalCodes(const std::vector<int>& len) {
  std::vector<uint32_t> code(len.size(), 0);
  uint32_t next = 0;
  for (int l = 1; l <= 16; ++l) {
    for (size_t s = 0; s < len.size(); ++s) {
      if (len[s] == l) code[s] = next++;
    }
    next <<= 1;
  }
  return code;
}

// Writes one short-list length: 3 bits for 0..6, else 111, len - 7 ones and a zero. Lengths up
// to 20 can be written, as hostile streams need.
inline void PutShortLength(BitSink& out, int len) {
  if (len < 7) {
    out.Put(3, static_cast<uint32_t>(len));
    return;
  }
  out.Put(3, 7);
  for (int i = 7; i < len; ++i) out.PutBit(1);
  if (len < 20) out.PutBit(0);  // 20 is 111 and thirteen ones: the reader stops by itself
}

// A short length list sending `lens` (its size is the count n). With zero_run set, the 2-bit
// field follows index 2 and stands for the next `zero_run` entries, which are skipped in `lens`.
inline void PutShortList(BitSink& out, const std::vector<int>& lens, int count_bits,
                         std::optional<int> zero_run) {
  out.Put(count_bits, static_cast<uint32_t>(lens.size()));
  for (size_t i = 0; i < lens.size(); ++i) {
    if (zero_run && i >= 3 && i < 3 + static_cast<size_t>(*zero_run)) continue;
    PutShortLength(out, lens[i]);
    if (zero_run && i == 2) out.Put(2, static_cast<uint32_t>(*zero_run));
  }
}

// Zero entries from index 3 on that the zero-run field can stand for.
inline int ZeroRunAt3(const std::vector<int>& lens) {
  int z = 0;
  while (z < 3 && 3 + z < static_cast<int>(lens.size()) && lens[3 + z] == 0) ++z;
  return z;
}

// Trims trailing zero lengths (the list's count then stops early).
inline std::vector<int> TrimZeros(std::vector<int> lens) {
  while (!lens.empty() && lens.back() == 0) lens.pop_back();
  return lens;
}

class Lh5StreamBuilder {
 public:
  // Optional overrides of the code lengths chosen for a block; they must cover what it uses.
  struct Codes {
    std::vector<int> main;      // 510 entries
    std::vector<int> position;  // 14 entries
  };

  // Appends a block holding `items`, coded with lengths chosen from their frequencies (or
  // `codes`). block_size_field overrides the 16-bit item count.
  void AddBlock(const std::vector<Lh5Item>& items, const std::optional<Codes>& codes = {},
                std::optional<uint16_t> block_size_field = {}) {
    std::vector<uint64_t> main_freq(510, 0), pos_freq(14, 0);
    for (const auto& it : items) {
      ++main_freq[it.symbol];
      if (it.symbol >= 256) ++pos_freq[PositionClass(it.distance)];
    }
    std::vector<int> main_len = codes ? codes->main : HuffmanLengths(main_freq);
    std::vector<int> pos_len = codes ? codes->position : HuffmanLengths(pos_freq);
    out_.Put(16, block_size_field ? *block_size_field : static_cast<uint32_t>(items.size()));
    PutMainLengths(main_len, main_freq);
    PutPositionLengths(pos_len, pos_freq);
    const auto main_code = CanonicalCodes(main_len);
    const auto pos_code = CanonicalCodes(pos_len);
    for (const auto& it : items) {
      out_.Put(main_len[it.symbol], main_code[it.symbol]);
      if (it.symbol < 256) continue;
      const int j = PositionClass(it.distance);
      out_.Put(pos_len[j], pos_code[j]);
      if (j > 1) out_.Put(j - 1, it.distance - (1u << (j - 1)));
    }
  }

  BitSink& Sink() { return out_; }
  std::vector<uint8_t> Bytes() const { return out_.Bytes(); }

 private:
  static int UsedCount(const std::vector<int>& len, int* only) {
    int used = 0;
    for (size_t i = 0; i < len.size(); ++i) {
      if (len[i] != 0) {
        ++used;
        *only = static_cast<int>(i);
      }
    }
    return used;
  }

  void PutMainLengths(const std::vector<int>& main_len, const std::vector<uint64_t>& main_freq) {
    int only = 0;
    if (UsedCount(main_len, &only) == 0) {
      // A single used symbol: n = 0 and the symbol. Its own frequency decides which.
      for (size_t i = 0; i < main_freq.size(); ++i) {
        if (main_freq[i] != 0) only = static_cast<int>(i);
      }
      out_.Put(5, 0);  // length alphabet: single symbol 0, never used
      out_.Put(5, 0);
      out_.Put(9, 0);
      out_.Put(9, static_cast<uint32_t>(only));
      return;
    }
    // Main lengths as length-alphabet symbols: zero runs and lengths.
    const std::vector<int> lens = TrimZeros(main_len);
    struct Tok {
      int sym;
      int extra_bits;
      uint32_t extra;
    };
    std::vector<Tok> toks;
    for (size_t i = 0; i < lens.size();) {
      if (lens[i] != 0) {
        toks.push_back({lens[i] + 2, 0, 0});
        ++i;
        continue;
      }
      size_t run = 0;
      while (i + run < lens.size() && lens[i + run] == 0) ++run;
      i += run;
      while (run > 0) {
        if (run <= 2) {
          toks.push_back({0, 0, 0});
          --run;
        } else if (run <= 18) {
          toks.push_back({1, 4, static_cast<uint32_t>(run - 3)});
          run = 0;
        } else if (run == 19) {
          toks.push_back({0, 0, 0});
          toks.push_back({1, 4, 15});
          run = 0;
        } else {
          size_t take = std::min<size_t>(run, 531);
          toks.push_back({2, 9, static_cast<uint32_t>(take - 20)});
          run -= take;
        }
      }
    }
    std::vector<uint64_t> tfreq(19, 0);
    for (const auto& t : toks) ++tfreq[t.sym];
    int only_t = 0;
    std::vector<int> tlen = HuffmanLengths(tfreq);
    if (UsedCount(tlen, &only_t) == 0) {
      for (size_t i = 0; i < 19; ++i) {
        if (tfreq[i] != 0) only_t = static_cast<int>(i);
      }
      out_.Put(5, 0);
      out_.Put(5, static_cast<uint32_t>(only_t));
    } else {
      std::vector<int> sent = TrimZeros(tlen);
      if (sent.size() < 3) sent.resize(3, 0);
      PutShortList(out_, sent, 5, ZeroRunAt3(sent));
    }
    const auto tcode = CanonicalCodes(tlen);
    out_.Put(9, static_cast<uint32_t>(lens.size()));
    for (const auto& t : toks) {
      out_.Put(tlen[t.sym], tcode[t.sym]);
      out_.Put(t.extra_bits, t.extra);
    }
  }

  void PutPositionLengths(const std::vector<int>& pos_len, const std::vector<uint64_t>& pos_freq) {
    int only = 0;
    if (UsedCount(pos_len, &only) == 0) {
      for (size_t i = 0; i < pos_freq.size(); ++i) {
        if (pos_freq[i] != 0) only = static_cast<int>(i);
      }
      out_.Put(4, 0);
      out_.Put(4, static_cast<uint32_t>(only));
      return;
    }
    PutShortList(out_, TrimZeros(pos_len), 4, std::nullopt);
  }

  BitSink out_;
};

}  // namespace qobz::test
