// A deterministic test corpus: the same bytes on every machine and every run.
//
// Five kinds of data that stress codecs differently (English-like text, C-like source code,
// structured binary, random bytes, long runs), each at the sizes where buffers, windows and blocks
// turn over, and optionally a few megabytes of each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qobz::test {

enum class Kind { Text, Source, Binary, Random, Runs };

inline const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Text:
      return "text";
    case Kind::Source:
      return "source";
    case Kind::Binary:
      return "binary";
    case Kind::Random:
      return "random";
    case Kind::Runs:
      return "runs";
  }
  return "?";
}

// splitmix64: small, fast and well mixed; enough for test data.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

 private:
  uint64_t state_;
};

inline std::vector<uint8_t> MakeData(Kind kind, size_t size, uint64_t seed = 1) {
  static const char* const kWords[] = {
      "the",    "archive", "of",     "and",      "a",      "to",       "in",       "is",
      "file",   "that",    "for",    "it",       "with",   "as",       "was",      "on",
      "data",   "block",   "stream", "window",   "match",  "length",   "offset",   "code",
      "tree",   "symbol",  "table",  "buffer",   "output", "input",    "compress", "expand",
      "header", "entry",   "folder", "checksum", "key",    "progress", "library",  "program"};
  // Line templates: @ is a word, # a number.
  // Every line takes its arguments by position from (word, number, word, word), so that each
  // conversion gets an argument of its type.
  static const char* const kLines[] = {"int %1$s = %2$d;\n",
                                       "  if (%1$s > %2$d) return %3$s;\n",
                                       "  for (int i = 0; i < %2$d; ++i) %1$s[i] = %3$s;\n",
                                       "static const uint16_t %1$s[%2$d] = {%2$d, %2$d};\n",
                                       "}\n\n",
                                       "/* %1$s %2$d %3$s %4$s */\n",
                                       "void %1$s_%2$d(struct %3$s *p, size_t n) {\n",
                                       "  %1$s->%3$s = %4$s(%2$d);\n"};
  std::vector<uint8_t> out;
  out.reserve(size + 128);
  Rng rng(seed * 0x1000193u + static_cast<uint64_t>(kind));
  auto word = [&] { return std::string(kWords[rng.Below(40)]); };
  while (out.size() < size) {
    switch (kind) {
      case Kind::Text: {
        std::string s = word();
        s[0] = static_cast<char>(s[0] - 32);
        int n = 4 + static_cast<int>(rng.Below(14));
        for (int i = 0; i < n; ++i) s += " " + word();
        s += rng.Below(4) == 0 ? ".\n" : ". ";
        out.insert(out.end(), s.begin(), s.end());
        break;
      }
      case Kind::Source: {
        for (const char* p = kLines[rng.Below(8)]; *p; ++p) {
          std::string piece = *p == '@'   ? word()
                              : *p == '#' ? std::to_string(rng.Below(1000))
                                          : std::string(1, *p);
          out.insert(out.end(), piece.begin(), piece.end());
        }
        break;
      }
      case Kind::Binary: {
        // Records of little-endian counters, small deltas, opcode-like bytes and zero padding.
        uint32_t base = static_cast<uint32_t>(out.size()) * 3;
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(base >> (8 * i)));
        out.push_back(static_cast<uint8_t>(0x48 + rng.Below(8)));
        out.push_back(static_cast<uint8_t>(0x89));
        out.push_back(static_cast<uint8_t>(rng.Below(256)));
        for (uint32_t i = rng.Below(9); i > 0; --i) out.push_back(0);
        break;
      }
      case Kind::Random:
        out.push_back(static_cast<uint8_t>(rng.Next()));
        break;
      case Kind::Runs: {
        uint8_t b = static_cast<uint8_t>(rng.Below(4) == 0 ? rng.Below(256) : rng.Below(3));
        out.insert(out.end(), 1 + rng.Below(rng.Below(8) == 0 ? 3000 : 40), b);
        break;
      }
    }
  }
  out.resize(size);
  return out;
}

struct Sample {
  std::string name;
  std::vector<uint8_t> data;
};

// The sizes where the 8192-byte buffers and the 8 KiB / 16 KiB windows turn over.
inline const std::vector<size_t>& BoundarySizes() {
  static const std::vector<size_t> sizes = {0,    1,    2,    3,    255,  256,   257,   7935,
                                            7936, 7937, 8191, 8192, 8193, 16383, 16384, 16385};
  return sizes;
}

constexpr size_t kLargeSize = 3u << 20;

// Every kind at every boundary size; with large, also kLargeSize bytes of each kind.
inline std::vector<Sample> Corpus(bool large) {
  std::vector<Sample> samples;
  const Kind kinds[] = {Kind::Text, Kind::Source, Kind::Binary, Kind::Random, Kind::Runs};
  for (Kind kind : kinds) {
    for (size_t size : BoundarySizes())
      samples.push_back(
          {std::string(KindName(kind)) + "-" + std::to_string(size), MakeData(kind, size)});
    if (large)
      samples.push_back({std::string(KindName(kind)) + "-large", MakeData(kind, kLargeSize)});
  }
  return samples;
}

}  // namespace qobz::test
