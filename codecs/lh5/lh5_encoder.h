// Working storage and internal steps of the LH5 encoder and its block writer.
//
// The encoder (lh5_encode.cpp) finds matches with a trie of all strings in an 8192-byte window
// and collects literals and matches of one block in ItemBuffer, counting their symbols. The block
// writer (lh5_block_writer.cpp) turns each full buffer into one block: three length-limited
// canonical Huffman codes built from that block's counts alone, their tables, then the items.
// Every tie-break below decides bits of the stream, so the same input always gives the same bytes.
//
// All storage of a run lives in one TLH5EncoderTables (about 194 KiB), obtained once at the start
// of LH5Compress and released however the run ends. Arrays carry no initial contents; each run
// writes everything before reading it.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "codecs/codec_state.h"
#include "codecs/lh5/lh5_format.h"

namespace qobz {

// Node numbers of the match trie.
constexpr int kRootBase = 8192;  // root of the strings starting with byte b: kRootBase + b
constexpr int kLeafBase = 8192;  // leaf of the string at window slot s (8192..16383): s
// Children are found through hashed bucket lists: the bucket of node q and byte b is
// kBucketBase + ((scatter(q) + b) mod kBucketCount). The children of one node lie in distinct
// buckets, so a child is recognised by its parent alone; which bucket holds it never changes the
// trie itself, only how fast a child is found.
constexpr int kBucketBase = 16384;
constexpr int kBucketCount = 16384;
constexpr int kNodeMark = 0x8000;  // NodeLatest: percolation mark
constexpr int kSlotBit = 0x2000;   // set in every window slot number 8192..16383
// Window slots: history below CurPos, look-ahead from CurPos on.
constexpr int kWindowSlots = 2 * lh5::WindowSize + lh5::MaxMatch;  // 16640
// Bytes past the window that an 8-byte comparison may load; their values never count.
constexpr int kComparePad = 7;
// Item buffer: a new group of items starting at or past kBlockClose closes the block first.
constexpr int kItemBufferSize = 16384;
constexpr int kBlockClose = 16360;

struct TLH5EncoderTables {
  // Match trie and window.
  // kWindowSlots + 1 slots, then room for the last 8-byte load of a match comparison.
  uint8_t Window[kWindowSlots + 1 + kComparePad];
  uint8_t NodeDepth[8449];     // internal nodes: common prefix length; roots: 1
  uint8_t NodeChildren[8449];  // children of an internal node
  uint16_t NodeLatest[8449];   // a recent window slot below the node, bit 15 the mark; roots 0
  uint16_t NodeParent[16385];  // 0: not in the trie; entry 0 is the FindChild sentinel
  uint16_t NodePrev[16385];    // bucket lists: previous node, or the bucket head
  uint16_t NodeNext[kBucketBase + kBucketCount + 1];  // next node, free list, replacement link;
                                                      // from kBucketBase on: bucket heads
  int FreeNode = 0;
  int CurPos = 0;
  int Lookahead = 0;
  int MatchStart = 0;
  int MatchLength = 0;

  // The block being collected: groups of up to eight items, each led by a flag byte (bit 7 for
  // the group's first item, set for a match); a literal is its byte, a match its length - 3 and
  // the high and low byte of distance - 1.
  uint8_t ItemBuffer[kItemBufferSize + 1];
  uint16_t ItemPos = 0;
  uint16_t FlagPos = 0;
  uint16_t FlagMask = 0;

  // Block writer. The frequency arrays take the internal nodes of the code tree after the
  // alphabet's own counts.
  uint16_t SymbolFreq[2 * lh5::SymbolCount];
  uint16_t PositionFreq[2 * lh5::PositionCodeCount];
  uint16_t LengthFreq[2 * lh5::LengthCodeCount];
  uint8_t SymbolLengths[lh5::SymbolCount + 1];
  uint16_t SymbolCodes[lh5::SymbolCount + 1];
  uint8_t ShortLengths[129];  // length alphabet, then position alphabet
  uint16_t ShortCodes[129];
  uint16_t LeftChild[2 * lh5::SymbolCount];
  uint16_t RightChild[2 * lh5::SymbolCount];
  // Per-length code counts, left by LimitLengths for AssignCodes.
  int LengthCount[lh5::MaxCodeLength + 1];
};

// The trie's buckets are a little more numerous than the 12528 of a plain q + 16 * b layout, for
// shorter lists; the whole stays near 194 KiB.
static_assert(sizeof(TLH5EncoderTables) <= 202 * 1024, "LH5 encoder storage has grown");

// Input of both LH5 encoders (lh5_encode.cpp) ------------------------------------------------

// Bytes of the first window fill.
constexpr int kFirstFill = lh5::WindowSize;

// The first fill: one ReadByte per slot of dst[0..kFirstFill) until the input ends or a fetch is
// cancelled; the slots after that hold spaces. Returns the number of bytes received.
int LH5ReadFirstFill(TCompThreadSafety& s, uint8_t* dst);
// Fills [dst, end) as a ReadByte per slot would, stopping at the first slot that gets no byte
// (which then holds 0, also when the input had ended before); reads and stores nothing after a
// cancelled fetch. Returns the number of bytes stored before that slot.
int LH5ReadInput(TCompThreadSafety& s, uint8_t* dst, uint8_t* end);

// Block writer ----------------------------------------------------------------------------------

// Writes the block collected in ItemBuffer (at least one item) and clears the counts.
void FlushBlock(TCompThreadSafety& s, TLH5EncoderTables& t);

// Builds a length-limited canonical code for n symbols (510, 19 or 14) from freq[0..n-1]; freq
// needs room for 2n - 1 entries. Returns the root: a node number >= n when at least two symbols
// are used, else the one used symbol (0 when none), whose length and code are then 0.
int BuildCode(TLH5EncoderTables& t, int n, uint16_t* freq, uint8_t* lengths, uint16_t* codes);

// Emits one main-alphabet symbol, one distance value (distance - 1) in the current codes.
void EmitSymbol(TCompThreadSafety& s, const TLH5EncoderTables& t, int x);
void EmitPosition(TCompThreadSafety& s, const TLH5EncoderTables& t, int v);

// Number of significant bits of v (0 for 0): the position class of a distance value.
inline int BitLength(unsigned v) {
  return v == 0 ? 0 : 32 - __builtin_clz(v);
}

}  // namespace qobz
