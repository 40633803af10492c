// The codec routines. Each takes the codec state only and moves every byte through ReadByte and
// WriteByte. Routines that consume their whole input stop when ReadByte sets EndOfInput; the two
// decoders of Huffman-coded streams stop after producing unpacked_size bytes.
#pragma once

#include <cstdint>

#include "codecs/codec_state.h"

namespace qobz {

// Method 0: stored. Copies input to output, the same in both directions.
void CopyStored(TCompThreadSafety& s);
// The same copy one byte at a time through ReadByte and WriteByte: the reference for CopyStored's
// runs.
void CopyStoredBytewise(TCompThreadSafety& s);

// Method 1: run-length coding.
constexpr uint8_t RleEscape = 0x94;
void RleCompress(TCompThreadSafety& s);
void RleExpand(TCompThreadSafety& s);
// Finishes a run whose opening literal is already out: count 1 or 2 writes value count - 1
// times, any other count writes RleEscape and count as one byte.
void RlePutRun(TCompThreadSafety& s, int32_t count, uint8_t value);

// Method 2: LZSS with adaptive Huffman coding.
void LzhCompress(TCompThreadSafety& s);
void LzhExpand(TCompThreadSafety& s, int32_t unpacked_size);
// LzhExpand without its fast loop: every bit through the state's bit reader, every byte through
// WriteByte. Its observable behaviour is the reference that LzhExpand must match.
void LzhExpandBytewise(TCompThreadSafety& s, int32_t unpacked_size);

// Method 4: static-Huffman blocks (the -lh5- format of LHA).
void LH5Compress(TCompThreadSafety& s);
// The same format, smaller and slower: every useful match, a near-optimal parse and blocks cut by
// cost (codecs/lh5/lh5_best_encode.cpp). Chosen by TEffort::Smallest.
void LH5CompressBest(TCompThreadSafety& s);
void LH5Expand(TCompThreadSafety& s, int32_t unpacked_size);

}  // namespace qobz
