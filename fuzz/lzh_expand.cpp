// libFuzzer harness for LzhExpand: any packed bytes with any requested size must expand without
// a crash or sanitizer report, to exactly the size asked for or at most 59 bytes more, unless the
// packed data run out first, which raises EBadChecksum.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "qobz/compress.h"
#include "qobz/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the unpacked size (at most 8191, so that one run stays quick).
  const int32_t count = static_cast<int32_t>(data[0] | ((data[1] & 0x1F) << 8));
  qobz::TCompress compress;
  qobz::TMemoryStream source(std::vector<uint8_t>(data + 2, data + size));
  qobz::TNullStream dest;
  uint32_t checksum = 0;
  int32_t produced = 0;
  try {
    produced = compress.RunCodec(dest, source, static_cast<int32_t>(size - 2), count,
                                 qobz::kMethodLzh, checksum, true, false);
  } catch (const qobz::EBadChecksum&) {
    return 0;
  }
  if (produced != dest.Size() || (count > 0 && (produced < count || produced > count + 59)) ||
      (count == 0 && produced != 0))
    std::abort();
  return 0;
}
