// The LZH working set and the adaptive Huffman model's start state and rebuild.
#include <cstring>

#include "codecs/lzh/lzh.h"

namespace qobz {

void LzhFreeWork(TCompThreadSafety& s) {
  s.TreeRight.reset();
  s.TreeLeft.reset();
  s.TreeParent.reset();
  s.TreeShared.reset();
  s.LzhRing.reset();
  s.HuffChild.reset();
  s.HuffParent.reset();
  s.HuffFreq.reset();
}

void LzhAllocateWork(TCompThreadSafety& s) {
  LzhFreeWork(s);
  // Value-initialised: the compressor compares ring bytes that hold no data yet near the end of
  // a short input, and they must be the same on every run.
  s.TreeRight = std::make_unique<int16_t[]>(LzhTreeRightEntries);
  s.TreeLeft = std::make_unique<int16_t[]>(LzhTreeLeftEntries);
  s.TreeParent = std::make_unique<int16_t[]>(LzhTreeParentEntries);
  s.TreeShared = std::make_unique<uint8_t[]>(LzhTreeSharedEntries);
  s.LzhRing = std::make_unique<uint8_t[]>(LzhRingEntries + LzhRingPadding);
  s.HuffChild = std::make_unique<int16_t[]>(LzhHuffChildEntries);
  s.HuffParent = std::make_unique<int16_t[]>(LzhHuffParentEntries);
  s.HuffFreq = std::make_unique<uint16_t[]>(LzhHuffFreqEntries);
}

void LzhStartModel(TCompThreadSafety& s) {
  uint16_t* freq = s.HuffFreq.get();
  int16_t* parent = s.HuffParent.get();
  int16_t* child = s.HuffChild.get();
  for (int i = 0; i < LzhSymbolCount; ++i) {
    freq[i] = 1;
    child[i] = static_cast<int16_t>(i + LzhNodeCount);
    parent[i + LzhNodeCount] = static_cast<int16_t>(i);
  }
  for (int i = 0, j = LzhSymbolCount; j <= LzhRoot; i += 2, ++j) {
    freq[j] = static_cast<uint16_t>(freq[i] + freq[i + 1]);
    child[j] = static_cast<int16_t>(i);
    parent[i] = parent[i + 1] = static_cast<int16_t>(j);
  }
  freq[LzhNodeCount] = 0xFFFF;
  parent[LzhRoot] = 0;
  s.LzhBitsOut = 0;
  s.LzhBitsOutCount = 0;
  s.LzhBitsIn = 0;
  s.LzhBitsInCount = 0;
}

void LzhRebuildNodes(uint16_t* freq, int16_t* parent, int16_t* child) {
  // Gather the leaves at the bottom in their order, halving their weights (1 stays 1).
  int k = 0;
  for (int j = 0; j < LzhNodeCount; ++j) {
    if (child[j] >= LzhNodeCount) {
      freq[k] = static_cast<uint16_t>((freq[j] + 1) / 2);
      child[k] = child[j];
      ++k;
    }
  }
  // Join pairs from the bottom; a new node goes after every node of equal weight.
  for (int i = 0, j = LzhSymbolCount; j < LzhNodeCount; i += 2, ++j) {
    const uint16_t f = static_cast<uint16_t>(freq[i] + freq[i + 1]);
    k = j - 1;
    while (freq[k] > f) --k;
    ++k;
    std::memmove(&freq[k + 1], &freq[k], sizeof(freq[0]) * (j - k));
    std::memmove(&child[k + 1], &child[k], sizeof(child[0]) * (j - k));
    freq[k] = f;
    child[k] = static_cast<int16_t>(i);
  }
  for (k = 0; k < LzhNodeCount; ++k) {
    const int c = child[k];
    parent[c] = static_cast<int16_t>(k);
    if (c < LzhNodeCount) parent[c + 1] = static_cast<int16_t>(k);
  }
}

}  // namespace qobz
