// The smaller LH5 encoder: the same -lh5- stream as lh5_encode.cpp (8 KiB window, matches of 3 to
// 256 bytes, Huffman blocks), with better choices where the format leaves them open.
//
// The input is taken in segments of up to kSegment positions. For each position of a segment the
// binary-tree match finder (lh5_best_match.h) reports every useful match length with its nearest
// distance. The segment is then parsed as a shortest path: from its end backwards, each position
// costs the cheapest of a literal and every reported length, in bits that the previous parse's
// counts predict; a few passes let counts and parse settle. The items are cut into blocks where
// separate codes save more bits than a new table costs, each block is parsed twice more under its
// own counts, the last time in the very code lengths it is then written with, using the smallest
// tables (lh5_best_block.cpp).
//
// Tried and left out (sizes on text, a tar of headers and a shared library): a deeper search (128
// or 1000 nodes: under 0.1% smaller), costs from code lengths in the segment passes (0.05%
// larger), larger segments (1 MiB: no gain), blocks capped at 4096 to 16384 items (0.5 to 2%
// larger: their tables cost more than their codes save), more passes (under 0.05%), keeping for
// each distance class its longest match (no gain: code lengths of the classes barely fall), block
// boundaries chosen by a shortest path over all chunk pairs instead of halving (0.01 to 0.03%
// smaller at twice the time), restarts of each block's passes from randomly disturbed counts,
// keeping the smallest result (0.01 to 0.06% smaller at 2.5 to 5 times the time).
//
// Input, checksum, key and progress go through the default encoder's readers, so fetches and the
// progress values they report come as they do there; the run ends at the first fetch that gives
// nothing, including a cancel.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/bit_stream.h"
#include "codecs/codecs.h"
#include "codecs/lh5/lh5_best_block.h"
#include "codecs/lh5/lh5_best_match.h"
#include "codecs/lh5/lh5_encoder.h"

namespace qobz {

namespace lh5best {
namespace {

constexpr int32_t kSegment = 256 * 1024;  // positions parsed together, at most
// The match finder: nodes visited per position, and the length at which a match is taken without
// looking further (the positions it covers are only entered into the trees).
constexpr int kDepth = 48;
constexpr int kNice = lh5::MaxMatch;
// Matches stored per segment; a segment ends early when the store is nearly full.
constexpr uint32_t kMatchesPerPosition = 6;
constexpr uint32_t kMaxReports = kDepth;  // a position reports at most one match per node
// Shortest-path passes over a segment, then over each block under its own counts.
constexpr int kSegmentPasses = 3;
constexpr int kBlockPasses = 2;
// Block boundaries are chosen among every kChunkItems-th item.
constexpr int kChunkItems = 1024;
// Places for a cut priced in a first sweep over a range of chunks.
constexpr int kCutSteps = 16;
constexpr int kAlphabet = lh5::SymbolCount + lh5::PositionCodeCount;
// Bytes readable past the data for the match comparison's wide loads.
constexpr uint32_t kPad = 8;

class Encoder {
 public:
  // Sizes the working storage for the input at hand: a small entry gets small tables.
  explicit Encoder(TCompThreadSafety& s)
      : s_(s),
        segment_size_(static_cast<uint32_t>(std::clamp<int32_t>(s.InRemaining, 1, kSegment))),
        buffer_(std::make_unique_for_overwrite<uint8_t[]>(
            lh5::WindowSize + std::max<uint32_t>(segment_size_, kFirstFill) + lh5::MaxMatch +
            kPad)),
        store_(std::make_unique_for_overwrite<Match[]>(kMatchesPerPosition * segment_size_ +
                                                       kMaxReports)),
        first_match_(std::make_unique_for_overwrite<uint32_t[]>(segment_size_ + 1)),
        cost_(std::make_unique_for_overwrite<uint32_t[]>(segment_size_ + 1)),
        choice_length_(std::make_unique_for_overwrite<uint16_t[]>(segment_size_ + 1)),
        choice_distance_(std::make_unique_for_overwrite<uint16_t[]>(segment_size_ + 1)),
        prefix_(std::make_unique_for_overwrite<uint32_t[]>(
            static_cast<size_t>(segment_size_ / kChunkItems + 2) * kAlphabet)) {
    items_.reserve(segment_size_);
    item_pos_.reserve(segment_size_);
  }

  void Run();

 private:
  const uint8_t* At(uint32_t pos) const { return buffer_.get() + (pos - buffer_start_); }
  void ReadUpTo(uint32_t end);
  uint32_t FindMatches(uint32_t begin, uint32_t end);
  void Parse(uint32_t from, uint32_t to, const CostModel& model);
  void Collect(uint32_t from, uint32_t to, Counts* counts);
  void GreedyCounts(uint32_t from, uint32_t to, Counts& counts) const;
  int64_t ChunkBits(int first_chunk, int end_chunk) const;
  void Split(int first_chunk, int end_chunk);
  void WriteBlockRange(size_t first_item, size_t end_item);
  void Hold(const Item* items, size_t n);

  TCompThreadSafety& s_;
  const uint32_t segment_size_;  // positions parsed together
  MatchFinder finder_;
  std::unique_ptr<uint8_t[]> buffer_;  // bytes from buffer_start_ up to data_end_
  uint32_t buffer_start_ = kOrigin;
  uint32_t data_end_ = kOrigin;
  bool input_done_ = false;

  // The segment being parsed, from segment_ on; per position (relative to segment_): its first
  // match in store_, the cost of the rest of the parse and the item that starts it.
  uint32_t segment_ = kOrigin;
  uint32_t segment_end_ = kOrigin;
  std::unique_ptr<Match[]> store_;
  std::unique_ptr<uint32_t[]> first_match_;
  std::unique_ptr<uint32_t[]> cost_;
  std::unique_ptr<uint16_t[]> choice_length_;  // 1: literal
  std::unique_ptr<uint16_t[]> choice_distance_;

  // Items of the segment's parse and their positions; counts per chunk of items, cumulated.
  std::vector<Item> items_;
  std::vector<uint32_t> item_pos_;
  std::unique_ptr<uint32_t[]> prefix_;
  std::vector<Item> block_;
  std::vector<Item> held_;  // the last block made, not yet written
};

void Encoder::ReadUpTo(uint32_t end) {
  while (!input_done_ && data_end_ < end) {
    uint8_t* dst = buffer_.get() + (data_end_ - buffer_start_);
    const uint32_t wanted = end - data_end_;
    const uint32_t got = static_cast<uint32_t>(LH5ReadInput(s_, dst, dst + wanted));
    data_end_ += got;
    if (got < wanted) input_done_ = true;
  }
  std::memset(buffer_.get() + (data_end_ - buffer_start_), 0, kPad);  // read, never counted
}

uint32_t Encoder::FindMatches(uint32_t begin, uint32_t end) {
  uint32_t stored = 0;
  uint32_t pos = begin;
  while (pos < end) {
    first_match_[pos - begin] = stored;
    const int max_len = static_cast<int>(std::min<uint32_t>(lh5::MaxMatch, data_end_ - pos));
    if (max_len < lh5::MinMatch) {
      ++pos;
      continue;
    }
    if (stored + kMaxReports > kMatchesPerPosition * segment_size_ + kMaxReports) break;
    const int nice = std::min(kNice, max_len);
    const int found = finder_.Insert<true>(At(pos), pos, max_len, nice, kDepth, &store_[stored]);
    stored += static_cast<uint32_t>(found);
    ++pos;
    if (found > 0 && store_[stored - 1].length >= nice) {
      // A match this long is taken as it is: the positions it covers only enter the trees.
      const uint32_t skip_end = std::min(end, pos - 1 + store_[stored - 1].length);
      for (; pos < skip_end; ++pos) {
        first_match_[pos - begin] = stored;
        const int len = static_cast<int>(std::min<uint32_t>(lh5::MaxMatch, data_end_ - pos));
        if (len >= lh5::MinMatch)
          finder_.Insert<false>(At(pos), pos, len, std::min(kNice, len), kDepth, nullptr);
      }
    }
  }
  first_match_[pos - begin] = stored;
  return pos;
}

// Shortest path over [from, to): cost_[i] becomes the fewest bits from position segment_ + i to
// `to`, choice_*[i] the item that starts that path. Matches are cut at `to`.
void Encoder::Parse(uint32_t from, uint32_t to, const CostModel& model) {
  const uint32_t base = from - segment_;
  const uint32_t n = to - segment_;
  cost_[n] = 0;
  for (uint32_t i = n; i-- > base;) {
    uint32_t best = model.literal[*At(segment_ + i)] + cost_[i + 1];
    uint16_t best_len = 1;
    uint16_t best_dist = 0;
    const uint32_t limit = std::min<uint32_t>(n - i, lh5::MaxMatch);
    uint32_t len = lh5::MinMatch;
    for (uint32_t m = first_match_[i]; m < first_match_[i + 1] && len <= limit; ++m) {
      const uint32_t top = std::min<uint32_t>(store_[m].length, limit);
      const uint32_t dist_cost = model.Distance(store_[m].distance);
      for (; len <= top; ++len) {
        const uint32_t c = model.length[len] + dist_cost + cost_[i + len];
        if (c < best) {
          best = c;
          best_len = static_cast<uint16_t>(len);
          best_dist = store_[m].distance;
        }
      }
    }
    cost_[i] = best;
    choice_length_[i] = best_len;
    choice_distance_[i] = best_dist;
  }
}

// Appends the items of the parse of [from, to) to items_ (and their counts).
void Encoder::Collect(uint32_t from, uint32_t to, Counts* counts) {
  uint32_t i = from - segment_;
  const uint32_t n = to - segment_;
  while (i < n) {
    Item item;
    if (choice_length_[i] >= lh5::MinMatch) {
      item = {static_cast<uint16_t>(choice_length_[i] + lh5::MatchSymbolOffset),
              static_cast<uint16_t>(choice_distance_[i] - 1)};
    } else {
      item = {*At(segment_ + i), 0};
    }
    items_.push_back(item);
    item_pos_.push_back(segment_ + i);
    if (counts) counts->Add(item);
    i += item.symbol >= lh5::LiteralCount ? choice_length_[i] : 1;
  }
}

// Counts of a parse that takes the longest match everywhere: the first pass's model.
void Encoder::GreedyCounts(uint32_t from, uint32_t to, Counts& counts) const {
  counts.Clear();
  uint32_t i = from - segment_;
  const uint32_t n = to - segment_;
  while (i < n) {
    const uint32_t first = first_match_[i];
    const uint32_t last = first_match_[i + 1];
    const uint32_t len = last > first ? std::min<uint32_t>(store_[last - 1].length, n - i) : 0;
    if (len >= lh5::MinMatch) {
      counts.Add({static_cast<uint16_t>(len + lh5::MatchSymbolOffset),
                  static_cast<uint16_t>(store_[last - 1].distance - 1)});
      i += len;
    } else {
      counts.Add({*At(segment_ + i), 0});
      ++i;
    }
  }
}

// Bits of the chunks [first_chunk, end_chunk) as one block, in the codes of their counts. (An
// estimate from the entropy of the counts and a table cost per used symbol cut incompressible data
// into blocks of 1024 items: their counts' entropy falls below 8 bits, their codes' lengths do
// not.)
int64_t Encoder::ChunkBits(int first_chunk, int end_chunk) const {
  const uint32_t* a = &prefix_[static_cast<size_t>(first_chunk) * kAlphabet];
  const uint32_t* b = &prefix_[static_cast<size_t>(end_chunk) * kAlphabet];
  Counts counts;
  for (int x = 0; x < lh5::SymbolCount; ++x) counts.main[x] = b[x] - a[x];
  for (int k = 0; k < lh5::PositionCodeCount; ++k)
    counts.position[k] = b[lh5::SymbolCount + k] - a[lh5::SymbolCount + k];
  return BlockBits(counts);
}

// Splits the chunks [first_chunk, end_chunk) in two where that saves the most bits, as
// long as it saves any (or the range holds more items than a block may), and writes the blocks.
void Encoder::Split(int first_chunk, int end_chunk) {
  const size_t first_item = static_cast<size_t>(first_chunk) * kChunkItems;
  const size_t end_item = std::min(items_.size(), static_cast<size_t>(end_chunk) * kChunkItems);
  if (end_chunk - first_chunk >= 2) {
    const int64_t whole = ChunkBits(first_chunk, end_chunk);
    int64_t best = 0;
    int best_at = 0;
    auto try_cut = [&](int k) {
      const int64_t split = ChunkBits(first_chunk, k) + ChunkBits(k, end_chunk);
      if (best_at == 0 || split < best) {
        best = split;
        best_at = k;
      }
    };
    // Every kCutSteps-th place first, then the places around the best of them: a block's bits
    // change slowly with the place of the cut, and pricing a place costs two code builds.
    const int step = std::max(1, (end_chunk - first_chunk) / kCutSteps);
    for (int k = first_chunk + step; k < end_chunk; k += step) try_cut(k);
    const int around = best_at;
    for (int k = std::max(first_chunk + 1, around - step + 1);
         k < std::min(end_chunk, around + step); ++k)
      try_cut(k);
    if (best < whole || end_item - first_item > static_cast<size_t>(kMaxBlockItems)) {
      Split(first_chunk, best_at);
      Split(best_at, end_chunk);
      return;
    }
  }
  WriteBlockRange(first_item, end_item);
}

// Parses the positions of items [first_item, end_item) again under the codes of their own counts
// and writes the result as one block (or more, should it outgrow a block).
void Encoder::WriteBlockRange(size_t first_item, size_t end_item) {
  const uint32_t from = item_pos_[first_item];
  const uint32_t to = end_item < items_.size() ? item_pos_[end_item] : segment_end_;
  Counts counts;
  counts.Clear();
  for (size_t i = first_item; i < end_item; ++i) counts.Add(items_[i]);
  block_.assign(items_.begin() + static_cast<ptrdiff_t>(first_item),
                items_.begin() + static_cast<ptrdiff_t>(end_item));
  for (int pass = 0; pass < kBlockPasses; ++pass) {
    // The last pass prices the items in the very code lengths the block would be written with.
    CostModel model;
    if (pass == kBlockPasses - 1) {
      model.FromCode(counts);
    } else {
      model.FromCounts(counts);
    }
    Parse(from, to, model);
    // Collect appends to items_; the block's new items go to block_ and items_ is restored.
    const size_t mark = items_.size();
    counts.Clear();
    Collect(from, to, &counts);
    block_.assign(items_.begin() + static_cast<ptrdiff_t>(mark), items_.end());
    items_.resize(mark);
    item_pos_.resize(mark);
  }
  // Where matches do not pay (data that does not compress), the parse can still take a few whose
  // codes lengthen every literal's: the block goes as literals alone when that is smaller.
  Counts literals;
  literals.Clear();
  for (uint32_t pos = from; pos < to; ++pos) ++literals.main[*At(pos)];
  if (BlockBits(literals) < BlockBits(counts)) {
    block_.clear();
    for (uint32_t pos = from; pos < to; ++pos) block_.push_back({*At(pos), 0});
  }
  for (size_t at = 0; at < block_.size(); at += kMaxBlockItems) {
    const size_t n = std::min(block_.size() - at, static_cast<size_t>(kMaxBlockItems));
    Hold(block_.data() + at, n);
  }
}

// Writes the block held back before and holds back this one: the last block of the stream is
// written differently.
void Encoder::Hold(const Item* items, size_t n) {
  if (!held_.empty()) WriteBlock(s_, held_.data(), static_cast<int>(held_.size()), false);
  held_.assign(items, items + n);
}

void Encoder::Run() {
  const int first = LH5ReadFirstFill(s_, buffer_.get());
  if (first == 0) return;  // an empty input writes nothing
  data_end_ = kOrigin + static_cast<uint32_t>(first);
  input_done_ = first < kFirstFill;

  for (;;) {
    ReadUpTo(segment_ + segment_size_ + lh5::MaxMatch);
    const uint32_t end = std::min(segment_ + segment_size_, data_end_);
    if (end == segment_) break;
    segment_end_ = FindMatches(segment_, end);

    Counts counts;
    GreedyCounts(segment_, segment_end_, counts);
    for (int pass = 0; pass < kSegmentPasses; ++pass) {
      CostModel model;
      model.FromCounts(counts);
      Parse(segment_, segment_end_, model);
      items_.clear();
      item_pos_.clear();
      counts.Clear();
      Collect(segment_, segment_end_, &counts);
    }

    // Counts per chunk of items, cumulated, for the block boundaries.
    const int chunks = static_cast<int>((items_.size() + kChunkItems - 1) / kChunkItems);
    std::fill(&prefix_[0], &prefix_[kAlphabet], 0);
    for (int c = 0; c < chunks; ++c) {
      uint32_t* row = &prefix_[static_cast<size_t>(c + 1) * kAlphabet];
      std::copy(row - kAlphabet, row, row);
      const size_t end_item = std::min(items_.size(), static_cast<size_t>(c + 1) * kChunkItems);
      for (size_t i = static_cast<size_t>(c) * kChunkItems; i < end_item; ++i) {
        const Item& it = items_[i];
        ++row[it.symbol];
        if (it.symbol >= lh5::LiteralCount) ++row[lh5::SymbolCount + BitLength(it.value)];
      }
    }
    Split(0, chunks);

    // Keep the window's worth of history before the next segment.
    segment_ = segment_end_;
    const uint32_t keep = std::max(buffer_start_, segment_ - lh5::WindowSize);
    std::memmove(buffer_.get(), At(keep), data_end_ - keep);
    buffer_start_ = keep;
  }
  WriteBlock(s_, held_.data(), static_cast<int>(held_.size()), true);
  WriteBits(s_, 7, 0);  // fills the last byte with zeros
}

}  // namespace
}  // namespace lh5best

void LH5CompressBest(TCompThreadSafety& s) {
  StartBitWriter(s);
  lh5best::Encoder(s).Run();
}

}  // namespace qobz
