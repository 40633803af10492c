// Expanding an archive stream into files: selection, destination paths, free space, folders,
// creating each file, running its entry through the codec driver, and the lock and checksum
// checks.
#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "qobz/compress.h"

namespace qobz {

namespace {

constexpr int32_t kNoLimit = 2147483647;

// Everything up to and including the last backslash or colon; empty when there is none.
std::string FolderPart(const std::string& path) {
  size_t cut = path.find_last_of("\\:");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool AsciiEqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// The running totals are 32-bit with wrap-around, like the header fields they add up.
int32_t AddWrapping(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace

void TCompress::ExpandStreamToFiles(TStream& Source, TStringList* FileList) {
  TStringList expanded_files;
  TArchiveHeader archive;
  std::string compress_id;
  ReadArchiveHeader(Source, archive, compress_id);
  const int32_t total_size = archive.TotalSize;
  int32_t done = 0;

  TEntryHeader entry;
  std::string name;
  auto skip_packed = [&] { Source.Seek(entry.PackedSize, SeekOrigin::Current); };
  while (ReadEntryHeader(Source, entry, name)) {
    if (!(done < total_size)) break;
    // Sizes are signed in the header; a negative one can only come from a damaged archive and
    // would move the stream backwards or hand the driver a negative count.
    if (entry.PackedSize < 0 || entry.UnpackedSize < 0) throw EInvalidHeader();

    if (FileList && !IsFileSelected(*FileList, name)) {
      skip_packed();
      done = AddWrapping(done, entry.UnpackedSize);
      continue;
    }

    std::string path = !name.empty() && name[0] == '\\' ? name : TargetPath() + name;
    if (OnCheckFile) {
      OnCheckFile(path, pmExpand);
      if (path.empty()) {
        skip_packed();
        continue;
      }
      if (path == "*") break;
    }

    if (SpaceAvailableFor(path) < entry.UnpackedSize) throw EInsufficientDiskSpace(path);
    if (MakeDirectories) MakeFolderPath(FolderPart(path));

    std::unique_ptr<TFileStream> dest;
    try {
      dest = TFileStream::Create(path);
    } catch (const EFCreateError&) {
      if (ExceptionOnFileError) throw;
      skip_packed();
      continue;
    }

    try {
      ExpandEntry(*dest, Source, entry.PackedSize, entry.UnpackedSize, entry.Checksum, entry.Method,
                  compress_id, entry.KeyLock);
    } catch (const EInvalidKey&) {
      dest->Close();
      platform::DeleteFile(path);
      throw;
    } catch (...) {
      // The partly written file stays, with its attributes but without its date.
      dest->Close();
      platform::SetAttributes(path, entry.FileAttr);
      throw;
    }
    platform::SetFileDate(*dest, entry.FileDate);
    expanded_files.push_back(path);
    dest->Close();
    platform::SetAttributes(path, entry.FileAttr);
    done = AddWrapping(done, entry.UnpackedSize);
  }

  if (FileList) *FileList = std::move(expanded_files);
}

void TCompress::ExpandEntry(TStream& Dest, TStream& Source, int32_t PackedSize,
                            int32_t UnpackedSize, uint32_t Checksum, uint8_t Method,
                            const std::string& CompressID, int32_t KeyLock) {
  if (KeyLock > 0 && Key == 0) throw EInvalidKey();
  uint32_t computed = 0;
  if (Method == kMethodCustom) {
    if (OnExpand) {
      int32_t checksum = 0;
      OnExpand(Dest, Source, PackedSize, UnpackedSize, CompressID, checksum);
      computed = static_cast<uint32_t>(checksum);
    }
  } else {
    try {
      RunCodec(Dest, Source, PackedSize, UnpackedSize, Method, computed, true, KeyLock == 2);
    } catch (const ELZHBadDecodeTable&) {
      // A wrong key garbles a locked entry's tables: report the key, not the data.
      if (KeyLock > 0) throw EInvalidKey();
      throw;
    } catch (const EBadChecksum&) {
      // A decoder that ran out of packed data; for a locked entry that is the key too.
      if (KeyLock > 0) throw EInvalidKey();
      throw;
    }
  }
  if (computed == Checksum) return;
  if (Checksum == 0 && Method == kMethodStored) return;
  if (KeyLock > 0) {
    if (static_cast<uint32_t>(Key) + computed == Checksum) return;
    throw EInvalidKey();
  }
  throw EBadChecksum();
}

int32_t TCompress::SpaceAvailableFor(const std::string& Path) {
  if (!CheckSpaceBeforeExpand) return kNoLimit;
  int drive = 0;
  if (Path.size() >= 2 && Path[1] == ':') {
    char letter = Path[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
    drive = static_cast<unsigned char>(letter) - 64;
  }
  float free = DiskFreeBytes(drive, Path);
  if (!(free < 2147483647.0f)) return kNoLimit;
  int32_t answer = static_cast<int32_t>(free);
  if (platform::FileExists(Path)) {
    int64_t size;
    try {
      size = TFileStream::OpenRead(Path)->Size();
    } catch (const EFOpenError& e) {
      throw EInOutError(e.Message());
    }
    // An existing file will be replaced, so its bytes count as free.
    if (static_cast<double>(size) + static_cast<double>(free) < 2147483647.0)
      answer = static_cast<int32_t>(answer + size);
    else
      answer = kNoLimit;
  }
  return answer;
}

float TCompress::DiskFreeBytes(int Drive, const std::string& NearPath) {
  return static_cast<float>(platform::DiskFreeBytes(Drive, NearPath));
}

void TCompress::MakeFolderPath(const std::string& Folder) {
  if (Folder.empty()) return;
  std::string folder = Folder;
  if (folder.back() == '\\') folder.pop_back();
  // Stop at a drive ("C:") or the root; every real folder name is made, however short.
  if (folder.empty() || (folder.size() == 2 && folder[1] == ':')) return;
  if (FolderExists(folder)) return;
  MakeFolderPath(FolderPart(folder));
  platform::MakeFolder(folder);
}

bool TCompress::FolderExists(const std::string& Path) {
  int64_t attributes = platform::GetAttributes(Path);
  return attributes != -1 && (attributes & platform::kAttrDirectory) != 0;
}

bool TCompress::IsFileSelected(const TStringList& FileList, const std::string& Name) {
  for (const std::string& entry : FileList)
    if (AsciiEqualNoCase(entry, Name)) return true;
  return false;
}

}  // namespace qobz
