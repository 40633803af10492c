// Match finder of the smaller LH5 encoder: binary trees of the strings in the last 8192 positions.
//
// Strings starting with the same three bytes (by hash) form one binary search tree, ordered by
// their bytes and rooted at the newest. Inserting a position walks down from the root, which
// passes the strings nearest to it in sort order, hence the longest matches, and re-roots the tree
// at the new position on the way (every node visited goes to its left or right side). Each time
// the walk finds a longer match than before it is reported, so a position gets every useful length
// with the nearest distance the walk saw for it, in increasing length.
//
// Positions are absolute stream offsets counted from kOrigin, so 0 never lies in the window and
// serves as the empty tree. Tree links live in a ring of 2 * 8192 node pairs indexed by position:
// a node's pair is overwritten only when its position is 16384 back, long out of reach.
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/byte_runs.h"
#include "codecs/lh5/lh5_encoder.h"
#include "codecs/lh5/lh5_format.h"

namespace qobz::lh5best {

struct Match {
  uint16_t length;    // 3..256
  uint16_t distance;  // 1..8192
};

constexpr uint32_t kOrigin = 4 * lh5::WindowSize;  // first position of a run
constexpr uint32_t kEmpty = 0;

class MatchFinder {
 public:
  static constexpr int kHashBits = 15;
  static constexpr uint32_t kRingMask = 2 * lh5::WindowSize - 1;

  MatchFinder()
      : head_(std::make_unique_for_overwrite<uint32_t[]>(1u << kHashBits)),
        links_(std::make_unique_for_overwrite<uint32_t[]>(2 * (kRingMask + 1))) {
    for (uint32_t i = 0; i < (1u << kHashBits); ++i) head_[i] = kEmpty;
  }

  // Inserts the string at position pos, whose bytes start at cur; max_len (3..256) bytes of it are
  // known, and nice <= max_len ends the walk. With kReport, writes the matches found to out in
  // increasing length and returns their number; at most depth nodes are visited. cur - distance
  // must address the bytes of every position in the window, and cur[max_len..max_len + 7] must
  // be readable.
  template <bool kReport>
  int Insert(const uint8_t* cur, uint32_t pos, int max_len, int nice, int depth, Match* out) {
    const uint32_t h =
        ((cur[0] | (cur[1] << 8) | (static_cast<uint32_t>(cur[2]) << 16)) * 0x9E3779B1u) >>
        (32 - kHashBits);
    uint32_t node = head_[h];
    head_[h] = pos;
    uint32_t* less = &links_[2 * (pos & kRingMask)];  // where the next smaller string hangs
    uint32_t* more = less + 1;                        // where the next larger string hangs
    int less_len = 0;  // bytes that every string on the smaller side shares with cur
    int more_len = 0;
    int best = lh5::MinMatch - 1;
    int found = 0;
    for (;;) {
      const uint32_t distance = pos - node;
      if (distance > static_cast<uint32_t>(lh5::WindowSize) || depth-- == 0) {
        *less = *more = kEmpty;
        return found;
      }
      const uint8_t* m = cur - distance;
      uint32_t* pair = &links_[2 * (node & kRingMask)];
      int len = less_len < more_len ? less_len : more_len;
      if (m[len] == cur[len]) {
        len = MatchLength(cur, m, len + 1, max_len);
        if (len > best) {
          best = len;
          if constexpr (kReport) {
            out[found++] = {static_cast<uint16_t>(len), static_cast<uint16_t>(distance)};
          }
          if (len >= nice) {
            // Equal strings as far as is known: node's subtrees become the new root's.
            *less = pair[0];
            *more = pair[1];
            return found;
          }
        }
      }
      if (m[len] < cur[len]) {
        *less = node;
        less = &pair[1];
        less_len = len;
      } else {
        *more = node;
        more = &pair[0];
        more_len = len;
      }
      node = m[len] < cur[len] ? pair[1] : pair[0];
    }
  }

 private:
  std::unique_ptr<uint32_t[]> head_;   // newest position per hash of three bytes
  std::unique_ptr<uint32_t[]> links_;  // per ring slot: smaller, larger subtree
};

}  // namespace qobz::lh5best
