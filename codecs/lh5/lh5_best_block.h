// Blocks of the smaller LH5 encoder: codes, their costs and the smallest tables the format allows.
//
// A block is written as the format has it (item count, length-alphabet table, main code lengths,
// position table, items), with codes that are optimal for the block's own counts within the
// 16-bit limit. The tables are made as small as the format permits: each run of zero lengths in
// the main list is split into the mix of the three zero-run symbols that costs fewest bits under
// the length alphabet's code, which is rebuilt from the result until that stops paying. The main
// and length alphabets are never sent in the one-symbol form, which bsdtar refuses; an alphabet of
// one used symbol gets a second, unused one instead.
#pragma once

#include <cstdint>

#include "codecs/codec_state.h"
#include "codecs/lh5/lh5_encoder.h"
#include "codecs/lh5/lh5_format.h"

namespace qobz::lh5best {

// One literal or match of a block: symbol 0..255 a literal, 256..509 a match of length
// symbol - 253 whose value is distance - 1.
struct Item {
  uint16_t symbol;
  uint16_t value;
};

constexpr int kMaxBlockItems = 65535;  // the block header's 16-bit count; never 0

struct Counts {
  uint32_t main[lh5::SymbolCount];
  uint32_t position[lh5::PositionCodeCount];

  void Clear();
  void Add(const Item& item);
};

// Costs are counted in units of 1 / kCostScale bit.
constexpr uint32_t kCostScale = 16;

// Bits per literal, per match length and per distance class (extra bits included), as the counts
// of a parse predict them. Symbols those counts lack get a plausible guess, so that a parse may
// still choose them.
struct CostModel {
  uint32_t literal[lh5::LiteralCount];
  uint32_t length[lh5::MaxMatch + 1];  // index: match length
  uint32_t position[lh5::PositionCodeCount];

  void FromCounts(const Counts& counts);
  // The code lengths that WriteBlock would build for these counts.
  void FromCode(const Counts& counts);
  uint32_t Distance(uint32_t distance) const { return position[BitLength(distance - 1)]; }
};

// Length-limited Huffman code lengths (at most 16) for n symbols; unused symbols get 0. Returns
// the number of used symbols; with one used symbol its length is 0.
int BuildLengths(const uint32_t* freq, int n, uint8_t* lengths);

// Bits of a block with these counts as WriteBlock writes it (the padding of a last block aside).
int64_t BlockBits(const Counts& counts);

// Writes the items as one block (1..kMaxBlockItems of them); last: the stream's final block.
void WriteBlock(TCompThreadSafety& s, const Item* items, int count, bool last);

}  // namespace qobz::lh5best
