// The codec state: everything a compression method sees during one run.
//
// The codec driver fills the fields before each run (one entry expanded or one file compressed)
// and the methods move bytes only through ReadByte and WriteByte (byte_stream.h) and the bit layer
// built on them (bit_stream.h). Their own tables are allocated once per run by the methods.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "qobz/codec_run.h"
#include "qobz/stream.h"

namespace qobz {

struct TLH5Tables;

// Size of the input buffer and of the output buffer.
constexpr int32_t IOBufferSize = 8192;

struct TCompThreadSafety {
  // Byte layer.
  bool EndOfInput = false;  // set by ReadByte when it could not deliver a byte
  uint8_t* InputBuffer = nullptr;
  uint8_t* OutputBuffer = nullptr;
  uint8_t* InEnd = nullptr;   // one past the last valid input byte
  uint8_t* InPos = nullptr;   // next input byte; InPos == InEnd means the buffer is used up
  uint8_t* OutEnd = nullptr;  // OutputBuffer + IOBufferSize
  uint8_t* OutPos = nullptr;  // where the next output byte goes
  TStream* InStream = nullptr;
  TStream* OutStream = nullptr;
  uint32_t InSum = 0;              // wrap-around sum of the bytes fetched, before unscrambling
  uint32_t OutSum = 0;             // wrap-around sum of the bytes stored, after scrambling
  int32_t InRemaining = 0;         // input bytes not yet fetched from InStream
  int32_t InChunk = IOBufferSize;  // size of the next fetch; only ever shrinks
  int32_t InDone = 0;              // bytes fetched so far (advanced only with a progress handler)
  int32_t OutCount = 0;            // bytes accepted by WriteByte
  bool UnscrambleInput = false;
  bool ScrambleOutput = false;
  uint8_t KeyBytes[4] = {0, 0, 0, 0};            // the key, least significant byte first
  int16_t KeyIndex = 0;                          // which key byte comes next (0..3)
  int32_t OutLimit = 0;                          // how many more bytes WriteByte accepts
  const TShowProgressEvent* Progress = nullptr;  // the run's progress handler, or null
  // Set when the progress handler cancels a fetch; cleared, with ZeroBytesPastEnd, at the start of
  // every run. A cancelled run decodes on from zero bits, while zero bytes taken at the end of the
  // packed data beyond what the decoders' bit readers look ahead mean damage; the LH5 encoder
  // reads nothing more after a cancel, but after the plain end of the input it reads on.
  bool FetchCancelled = false;
  int32_t ZeroBytesPastEnd = 0;

  // LZH working set: allocated for one run by LzhCompress or LzhExpand and released by
  // LzhFreeWork on every way out; empty otherwise. The four tree arrays serve only the compressor.
  std::unique_ptr<uint8_t[]> LzhRing;     // 4096-byte ring plus the compressor's 60-byte tail
  std::unique_ptr<int16_t[]> TreeLeft;    // left child of each ring position
  std::unique_ptr<int16_t[]> TreeRight;   // right child of each position; 4097.. are tree roots
  std::unique_ptr<int16_t[]> TreeParent;  // parent of each position, or LzhNoNode
  std::unique_ptr<uint8_t[]> TreeShared;  // leading bytes a position shares with its parent
  std::unique_ptr<uint16_t[]> HuffFreq;   // node weights, non-decreasing; 627 is a sentinel
  std::unique_ptr<int16_t[]> HuffParent;  // parent of each node; 627 + s: leaf of symbol s
  std::unique_ptr<int16_t[]> HuffChild;   // first child of each node; >= 627 marks a leaf
  uint16_t LzhBitsOut = 0;                // pending output bits, left-justified
  uint8_t LzhBitsOutCount = 0;            // how many (0..7 between calls)
  uint16_t LzhBitsIn = 0;                 // unused input bits, left-justified
  uint8_t LzhBitsInCount = 0;             // how many
  uint16_t LzhMatchOffset = 0;  // result of the last insertion: distance - 1 of the best match
  uint16_t LzhMatchLength = 0;  // and its length (0 when no node shares 3 bytes)

  // Bit layer (LH5). Reader: BitByte holds the unconsumed bits of the last fetched byte,
  // left-aligned, BitCount how many; BitBuffer the next 16 bits of input. Writer: BitByte is the
  // byte being assembled from bit 7 down, BitCount its free positions (8 = empty).
  uint8_t BitByte = 0;
  uint8_t BitCount = 0;
  uint16_t BitBuffer = 0;

  // LH5: the method's tables, present only during an LH5 run (codecs/lh5/lh5_tables.h), and the
  // main-alphabet symbols still to be decoded in the current block (0: a block header comes next).
  TLH5Tables* LH5 = nullptr;
  uint16_t BlockRemaining = 0;

  // Run-length coder.
  bool RunFirst = true;
  bool RunActive = false;
  uint8_t LastByte = 0;
  int32_t RunCount = 0;
};

}  // namespace qobz
