// The compression methods an entry may use: one row each, read-only. Every part of the library,
// the tool and the launcher asks these rows what a method is; none names a method itself.
#pragma once

#include <cstdint>
#include <string_view>

#include "qobz/headers.h"

namespace qobz {

struct TMethodInfo {
  uint8_t Code;             // as an entry header stores it
  const char* Id;           // the three letters that name an archive of the method
  bool Packs;               // its codec makes data smaller (the stored method only copies)
  bool DecodeNeedsSize;     // its decoder stops at the entry's unpacked size; others read to the
                            // end of the packed data
  bool StoresPlain;         // the packed data are the file's bytes: packed and unpacked sizes are
                            // equal, and a checksum of 0 means none was kept
  bool ApplicationDefined;  // no codec here: the application's own handlers expand it
};

// The row of a code, or null for a code that names no method. Codes run from 0 without a gap:
// for (int code = 0; const TMethodInfo* m = FindMethod(code); ++code) visits every method.
const TMethodInfo* FindMethod(int code);
// The row whose identifier is `id` ("LH5"); with ignore_case, in any letter case. Null for none.
const TMethodInfo* FindMethodById(std::string_view id, bool ignore_case = false);

}  // namespace qobz
