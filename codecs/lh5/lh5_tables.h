// The tables of the LH5 decoder, allocated once at the start of a run and freed on every way out.
// (The encoder keeps its own storage, codecs/lh5/lh5_encoder.h.)
//
// The length and position alphabets share ShortLengths, ShortTable and the low nodes of the child
// arrays: the length alphabet's code is needed only while a block's main lengths are read, the
// position code is built after that.
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/codec_state.h"
#include "codecs/lh5/lh5_format.h"

namespace qobz {

// Bytes allocated past the window's 8192: the fast loop's wide match copies may read up to this
// many bytes past the end of a match whose source lies in the window.
constexpr int32_t LH5WindowSlack = 32;

struct TLH5Tables {
  // Contents are not initialised by the allocation.
  std::unique_ptr<uint8_t[]> Window;  // lh5::WindowSize + LH5WindowSlack: the ring of the history
  std::unique_ptr<uint16_t[]> LeftChild;        // lh5::ChildCount: branch taken on a 0 bit
  std::unique_ptr<uint16_t[]> RightChild;       // lh5::ChildCount: branch taken on a 1 bit
  std::unique_ptr<uint16_t[]> ShortTable;       // lh5::ShortTableSize: top 8 bits of BitBuffer
  std::unique_ptr<uint8_t[]> SymbolLengths;     // lh5::SymbolLengthsSize
  uint8_t ShortLengths[lh5::ShortLengthsSize];  // length alphabet, later position alphabet
  std::unique_ptr<uint16_t[]> SymbolTable;      // lh5::SymbolTableSize: top 12 bits of BitBuffer
  // The same lookups packed for the decoder's fast loop, rebuilt with every block header: each
  // entry holds the table value in its low 16 bits and the bits to consume at once above them
  // (the code length for a symbol, the lookup width for a tree node).
  std::unique_ptr<uint32_t[]> PackedSymbolTable;  // 1 << lh5::SymbolTableBits
  std::unique_ptr<uint32_t[]> PackedShortTable;   // 1 << lh5::ShortTableBits
};

// Owns the tables of one run and frees them (LH5FreeTables) when it goes out of scope.
class TLH5TablesHolder {
 public:
  explicit TLH5TablesHolder(TCompThreadSafety& s);
  ~TLH5TablesHolder();
  TLH5TablesHolder(TLH5TablesHolder&& other) noexcept;
  TLH5TablesHolder(const TLH5TablesHolder&) = delete;
  TLH5TablesHolder& operator=(const TLH5TablesHolder&) = delete;
  TLH5TablesHolder& operator=(TLH5TablesHolder&&) = delete;

  TLH5Tables& Tables() const { return *tables_; }

 private:
  TCompThreadSafety* s_;
  std::unique_ptr<TLH5Tables> tables_;
};

// Allocates the tables, resets the bit reader and BlockRemaining. The tables live in s.LH5 until
// the returned holder is destroyed.
[[nodiscard]] TLH5TablesHolder LH5AllocTables(TCompThreadSafety& s);
// Frees every table present and marks it absent; safe after a partial allocation.
void LH5FreeTables(TCompThreadSafety& s);

}  // namespace qobz
