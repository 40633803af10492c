// Fuzz target: the archive reader on arbitrary bytes.
//
// Input layout: 1 byte of options, then the archive. Option bit 0 sets a key. Every entry is
// expanded to a counting sink the way an extraction would run it (headers, the running total,
// locks, each method's decoder, checksums); entries that claim more than 1 MiB are skipped so
// runs stay short. Refusals are the component's exceptions; a crash or sanitizer report is a
// finding.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qobz/compress.h"
#include "qobz/errors.h"

namespace {

constexpr int32_t kMaxUnpacked = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  qobz::TCompress compress;
  if (data[0] & 1) compress.Key = 0x1F2E3D4C;
  compress.OnRecognize = [](const std::string&, bool& ok) { ok = true; };
  qobz::TMemoryStream source(std::vector<uint8_t>(data + 1, data + size));
  try {
    qobz::TArchiveHeader header;
    std::string id;
    compress.ReadArchiveHeader(source, header, id);
    qobz::TEntryHeader entry;
    std::string name;
    int32_t done = 0;
    while (compress.ReadEntryHeader(source, entry, name)) {
      if (!(done < header.TotalSize)) break;
      if (entry.PackedSize < 0 || entry.UnpackedSize < 0) break;
      if (entry.UnpackedSize > kMaxUnpacked) {
        source.Seek(entry.PackedSize, qobz::SeekOrigin::Current);
        continue;
      }
      qobz::TNullStream sink;
      try {
        compress.ExpandEntry(sink, source, entry.PackedSize, entry.UnpackedSize, entry.Checksum,
                             entry.Method, id, entry.KeyLock);
      } catch (const qobz::EBadChecksum&) {
      } catch (const qobz::EInvalidKey&) {
      } catch (const qobz::ELZHBadDecodeTable&) {
      } catch (const qobz::EUnableToCompress&) {
        // Only the run-length decoder's output can run into the 2 GiB limit; not from 1 MiB.
        __builtin_trap();
      }
      done = static_cast<int32_t>(static_cast<uint32_t>(done) +
                                  static_cast<uint32_t>(entry.UnpackedSize));
    }
  } catch (const qobz::EInvalidHeader&) {
  } catch (const qobz::EInvalidHeaderArchiveType&) {
  }
  return 0;
}
