// Test helpers for the LZH codec: a codec state over memory with no output limit, a compressor
// run that may grow its input, and a tracer that lists a stream's symbols, offsets and code
// lengths as the expander's model sees them.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "codecs/byte_stream.h"
#include "codecs/codec_state.h"
#include "codecs/codecs.h"
#include "codecs/lzh/lzh.h"
#include "codecs/run.h"
#include "qobz/stream.h"

namespace qobz::test {

// A codec state wired as the driver wires it, reading from input and writing to memory, without
// the compressing side's output limit.
struct StateOver {
  explicit StateOver(std::vector<uint8_t> input)
      : in(std::move(input)), run(s, out, in, static_cast<int32_t>(in.Size()), true, {}) {}
  std::vector<uint8_t> Output() {
    FlushOutput(s);
    return out.Data();
  }

  TMemoryStream in, out;
  TCompThreadSafety s;
  TCodecRun run;
};

inline std::vector<uint8_t> LzhRawCompress(const std::vector<uint8_t>& plain) {
  StateOver st(plain);
  LzhCompress(st.s);
  return st.Output();
}

struct LzhToken {
  int symbol;       // 0..313
  int offset;       // for matches
  int code_length;  // bits of the symbol's code
};

// The symbols of a stream up to the one that reaches count bytes.
inline std::vector<LzhToken> LzhTrace(const std::vector<uint8_t>& packed, int32_t count) {
  StateOver st(packed);
  TCompThreadSafety& s = st.s;
  LzhAllocateWork(s);
  LzhStartModel(s);
  std::vector<LzhToken> tokens;
  for (int32_t produced = 0; produced < count;) {
    int x = s.HuffChild[LzhRoot];
    int length = 0;
    while (x < LzhNodeCount) {
      x = s.HuffChild[x + LzhGetBit(s)];
      ++length;
    }
    LzhToken t{x - LzhNodeCount, -1, length};
    LzhUpdateModel(s, t.symbol);
    if (t.symbol >= 256) t.offset = LzhDecodeOffset(s);
    produced += t.symbol < 256 ? 1 : t.symbol - LzhMatchSymbolBias;
    tokens.push_back(t);
  }
  LzhFreeWork(s);
  return tokens;
}

}  // namespace qobz::test
