// The method table: one row per method, in code order. Adding a method is its codec and its row.
#include "codecs/methods.h"

#include "codecs/codecs.h"

namespace qobz {

namespace {

// Decoders that read to the end of their packed data take no size.
template <void (*Run)(TCompThreadSafety&)>
void WholeInput(TCompThreadSafety& s, int32_t) {
  Run(s);
}

constexpr TCodecRow kRows[] = {
    {{kMethodStored, "NON", false, false, true, false},
     CopyStored,
     nullptr,
     WholeInput<CopyStored>},
    {{kMethodRle, "RLE", true, false, false, false}, RleCompress, nullptr, WholeInput<RleExpand>},
    {{kMethodLzh, "LZH", true, true, false, false}, LzhCompress, nullptr, LzhExpand},
    {{kMethodCustom, "CUS", true, false, false, true}, nullptr, nullptr, nullptr},
    {{kMethodLh5, "LH5", true, true, false, false}, LH5Compress, LH5CompressBest, LH5Expand},
};
constexpr int kCount = static_cast<int>(sizeof kRows / sizeof kRows[0]);

constexpr bool InCodeOrder() {
  for (int i = 0; i < kCount; ++i)
    if (kRows[i].info.Code != i) return false;
  return true;
}
static_assert(InCodeOrder(), "a row's place in the table is its code");

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

const TCodecRow* FindCodec(int code) {
  return code >= 0 && code < kCount ? &kRows[code] : nullptr;
}

const TMethodInfo* FindMethod(int code) {
  return code >= 0 && code < kCount ? &kRows[code].info : nullptr;
}

const TMethodInfo* FindMethodById(std::string_view id, bool ignore_case) {
  for (int code = 0; code < kCount; ++code) {
    const TMethodInfo* m = &kRows[code].info;
    const std::string_view row = m->Id;
    if (id.size() != row.size()) continue;
    size_t i = 0;
    while (i < id.size() && (ignore_case ? Upper(id[i]) : id[i]) == row[i]) ++i;
    if (i == id.size()) return m;
  }
  return nullptr;
}

}  // namespace qobz
