// TArchiveWriter: makes archives that TCompress reads.
//
// The archive header is written first with a TotalSize of 0 and completed by Finish(); each entry
// header is written before its packed data and completed once the codec has run, so the output
// stream must be seekable: a stream that cannot seek back (a pipe) raises EWriteError rather than
// give an archive with wrong headers. An entry that its method cannot make smaller is stored
// instead.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qobz/compress.h"
#include "qobz/stream.h"

namespace qobz {

struct TWrittenEntry {
  std::string Name;
  TEntryHeader Header;
};

// A file for AddFiles.
struct TFileToAdd {
  std::string Path;        // on the host system
  std::string StoredName;  // in the archive
};

// What AddFiles reports, always on the calling thread, in the order of the files.
struct TAddFilesEvents {
  // Before the file of that index is written (or packed, when it is packed in its turn).
  std::function<void(size_t index)> BeforeEntry;
  // A file that could not be opened: nothing of it is written. Without this handler the
  // EFOpenError is raised.
  std::function<void(size_t index, const EFOpenError& error)> Skipped;
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
  // Packs the files, on up to `threads` threads, and writes them in the order given: the archive is
  // the same, byte for byte, as AddFile one file after another, whatever the number of threads.
  // Helper threads pack files of up to 4 MiB into memory, a few per thread ahead of the one being
  // written. A larger file is packed ahead too into a temporary file of the spill folder, when
  // one is set; without one it is packed on the calling thread, straight into the archive, when
  // its turn comes. Memory stays bounded whatever the sizes. The component's OnShowProgress hears
  // 100 as each file packed ahead is written (and the usual progress for a file packed in its
  // turn); answering -1 cancels (ECancelled). An error of a file is raised in its turn,
  // after the files before it are written.
  void AddFiles(const std::vector<TFileToAdd>& files, int threads,
                const TAddFilesEvents& events = {});
  // The folder where AddFiles may keep the packed data of large files while earlier ones are
  // written (empty: none, the default). Its temporary files are never left behind where the
  // system can remove an open file's name.
  void SetSpillFolder(const std::string& folder) { spill_folder_ = folder; }
  // The folder whose tree AddFile and AddFiles read (empty: none, the default). The paths given
  // them are then archive-style paths below it, and each file is opened from the folder, held
  // for the call, one name at a time without following any link: a link anywhere on the way, or
  // anything but a regular file at the end, is a file that cannot be opened (EFOpenError), so
  // nothing outside the tree is ever read, whatever happens to the tree meanwhile.
  void SetSourceFolder(const std::string& folder) { source_folder_ = folder; }
  // Packs LH5 entries, in AddEntry, AddFile and AddFiles alike, with the slower encoder that makes
  // smaller streams (same format; the same bytes whatever the number of threads).
  void SetBest(bool best) { best_ = best; }
  // Completes the archive header with the total of the unpacked sizes. Call once, at the end.
  void Finish();

  int32_t TotalSize() const { return total_size_; }

 private:
  void CheckFits(const std::string& stored_name, int64_t size) const;
  TEntryHeader NewHeader(const std::string& stored_name, int64_t size, uint32_t file_date,
                         uint16_t file_attr) const;
  // Runs the codec (or stores, when packing does not make the data smaller) from source into out
  // and completes the header's method, packed size and checksum. key: the component's key.
  void Pack(TCompress& compress, int32_t key, TStream& out, TStream& source,
            const std::string& stored_name, TEntryHeader& header) const;

  void CopySpill(TStream& spill, int32_t count);

  TCompress& compress_;
  TStream& out_;
  uint8_t method_;
  int32_t key_lock_;
  int64_t archive_start_;
  int32_t total_size_ = 0;
  std::string spill_folder_;
  std::string source_folder_;
  bool best_ = false;
};

}  // namespace qobz
