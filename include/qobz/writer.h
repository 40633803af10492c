// TArchiveWriter: makes archives that TCompress reads.
//
// The archive header is written first with a TotalSize of 0 and completed by Finish(); each entry
// header is written before its packed data and completed once the codec has run, so the output
// stream must be seekable. An entry that its method cannot make smaller is stored instead.
#pragma once

#include <cstdint>
#include <string>

#include "qobz/compress.h"

namespace qobz {

struct TWrittenEntry {
  std::string Name;
  TEntryHeader Header;
};

class TArchiveWriter {
 public:
  // Method: the code whose identifier names the archive and whose codec packs every entry.
  // KeyLock: 0 for open entries; with a non-zero compress.Key, 1 (locked) or 2 (locked and the
  // packed bytes scrambled with the key). The component supplies Key and OnShowProgress.
  TArchiveWriter(TCompress& compress, TStream& out, uint8_t method, int32_t key_lock = 0);

  // Packs the rest of source (from its position to its end) as an entry under the stored name
  // (backslashes between folder names). Raises EInvalidHeader for a name or size that the
  // format cannot hold.
  TWrittenEntry AddEntry(const std::string& stored_name, TStream& source, uint32_t file_date,
                         uint16_t file_attr);
  // Packs a file of the host system, with its date and attributes.
  TWrittenEntry AddFile(const std::string& path, const std::string& stored_name);
  // Completes the archive header with the total of the unpacked sizes. Call once, at the end.
  void Finish();

  int32_t TotalSize() const { return total_size_; }

  // Packs LH5 entries with the slower encoder that makes smaller streams (same format).
  void SetBest(bool best) { best_ = best; }

 private:
  TCompress& compress_;
  TStream& out_;
  uint8_t method_;
  int32_t key_lock_;
  int64_t archive_start_;
  int32_t total_size_ = 0;
  bool best_ = false;
};

}  // namespace qobz
