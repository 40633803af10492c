// Allocation and release of the LH5 decoder's tables.
#include "codecs/lh5/lh5_tables.h"

namespace qobz {

TLH5TablesHolder::TLH5TablesHolder(TCompThreadSafety& s)
    : s_(&s), tables_(std::make_unique<TLH5Tables>()) {
  s.LH5 = tables_.get();
}

TLH5TablesHolder::TLH5TablesHolder(TLH5TablesHolder&& other) noexcept
    : s_(other.s_), tables_(std::move(other.tables_)) {
  other.s_ = nullptr;
}

TLH5TablesHolder::~TLH5TablesHolder() {
  if (s_ != nullptr && tables_ != nullptr) {
    LH5FreeTables(*s_);
    s_->LH5 = nullptr;
  }
}

TLH5TablesHolder LH5AllocTables(TCompThreadSafety& s) {
  // The holder exists before the first table, so an allocation failure frees what was made.
  TLH5TablesHolder holder(s);
  TLH5Tables& t = holder.Tables();
  // make_unique_for_overwrite: the contents are set by whoever uses them, not here.
  t.Window = std::make_unique_for_overwrite<uint8_t[]>(lh5::WindowSize + LH5WindowSlack);
  t.LeftChild = std::make_unique_for_overwrite<uint16_t[]>(lh5::ChildCount);
  t.RightChild = std::make_unique_for_overwrite<uint16_t[]>(lh5::ChildCount);
  t.ShortTable = std::make_unique_for_overwrite<uint16_t[]>(lh5::ShortTableSize);
  t.SymbolLengths = std::make_unique_for_overwrite<uint8_t[]>(lh5::SymbolLengthsSize);
  t.SymbolTable = std::make_unique_for_overwrite<uint16_t[]>(lh5::SymbolTableSize);
  t.PackedSymbolTable = std::make_unique_for_overwrite<uint32_t[]>(1 << lh5::SymbolTableBits);
  t.PackedShortTable = std::make_unique_for_overwrite<uint32_t[]>(1 << lh5::ShortTableBits);
  s.BitCount = 0;
  s.BitByte = 0;
  s.BitBuffer = 0;
  s.BlockRemaining = 0;
  return holder;
}

void LH5FreeTables(TCompThreadSafety& s) {
  if (s.LH5 == nullptr) return;
  TLH5Tables& t = *s.LH5;
  t.Window.reset();
  t.LeftChild.reset();
  t.RightChild.reset();
  t.ShortTable.reset();
  t.SymbolLengths.reset();
  t.SymbolTable.reset();
  t.PackedSymbolTable.reset();
  t.PackedShortTable.reset();
}

}  // namespace qobz
