// Expanding an archive stream into files: selection, destination paths, free space, folders,
// creating each file, running its entry through the codec driver, and the lock and checksum
// checks.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/codec_state.h"
#include "platform/platform.h"
#include "qobz/archive_reader.h"
#include "qobz/compress.h"
#include "qobz/methods.h"

namespace qobz {

namespace {

constexpr int32_t kNoLimit = kMaxFieldSize;

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// Everything up to and including the last separator, or the drive ("C:") of a path without one;
// empty when there is neither. A colon anywhere else is part of a name (POSIX allows it).
std::string FolderPart(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  if (cut != std::string::npos) return path.substr(0, cut + 1);
  return platform::HasDrivePrefix(path) ? path.substr(0, 2) : std::string();
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

// The destination of a built-in method's run: passes on at most `limit` bytes in all. Output
// that would go past the entry's UnpackedSize means the entry is damaged; nothing of it is
// written, so a few packed bytes cannot fill a disk.
class TCappedDest : public TStream {
 public:
  TCappedDest(TStream& inner, int64_t limit) : inner_(inner), left_(limit) {}
  int32_t Read(void* buffer, int32_t count) override { return inner_.Read(buffer, count); }
  void WriteBuffer(const void* buffer, int32_t count) override {
    if (count > left_) throw EBadChecksum();
    inner_.WriteBuffer(buffer, count);
    if (count > 0) left_ -= count;
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
  int64_t Size() override { return inner_.Size(); }

 private:
  TStream& inner_;
  int64_t left_;
};

}  // namespace

void TCompress::ExpandStreamToFiles(TStream& Source, TStringList* FileList, TStringList* Written) {
  TStringList expanded_files;
  TArchiveReader reader(*this, Source);
  while (reader.Next()) {
    const TEntryHeader& entry = reader.Entry();
    const std::string& name = reader.Name();
    if (FileList && !IsFileSelected(*FileList, name)) {
      reader.Skip();
      continue;
    }

    std::string path = !name.empty() && name[0] == '\\' ? name : TargetPath() + name;
    if (OnCheckFile) {
      OnCheckFile(path, pmExpand);
      if (path.empty()) {
        reader.Skip(false);
        continue;
      }
      if (path == "*") break;
    }
    // Only now is the entry to be expanded: a method nobody knows is refused before its file.
    reader.CheckMethod();

    // A relative name the application left as it was is made below the target, each folder
    // opened from the one before without following a link; a path the application chose, or an
    // absolute name, is its choice and made as given.
    const bool below = (name.empty() || name[0] != '\\') && path == TargetPath() + name;
    std::unique_ptr<TFileStream> dest;
    try {
      // Every layer reads the name's bytes as stored: one the system would cut short or refuse
      // is refused here, before anything is made for it.
      const std::string refusal = platform::NameRefusal(path);
      if (!refusal.empty())
        throw EFCreateError("Cannot create file \"" + platform::EscapedName(path) + "\". " +
                            refusal);
      if (SpaceAvailableFor(path) < entry.UnpackedSize) throw EInsufficientDiskSpace(path);
      if (below) {
        if (MakeDirectories && !TargetPath().empty()) MakeFolderPath(TargetPath());
        dest = TFileStream::CreateEntryBelow(TargetPath(), name, MakeDirectories);
      } else {
        if (MakeDirectories) MakeFolderPath(FolderPart(path));
        dest = TFileStream::CreateEntry(path);
      }
    } catch (const EFCreateError&) {
      if (ExceptionOnFileError) throw;
      reader.Skip(false);
      continue;
    }

    try {
      reader.Extract(*dest);
    } catch (const EInvalidKey&) {
      dest->Remove();
      throw;
    } catch (...) {
      // The partly written file stays, with its attributes but without its date.
      platform::SetAttributes(*dest, entry.FileAttr);
      dest->Close();
      dest->Keep();
      throw;
    }
    platform::SetFileDate(*dest, entry.FileDate);
    platform::SetAttributes(*dest, entry.FileAttr);
    dest->Close();
    dest->Keep();
    expanded_files.push_back(path);
  }

  if (Written && FileList)
    *Written = expanded_files;
  else if (Written)
    *Written = std::move(expanded_files);
  if (FileList) *FileList = std::move(expanded_files);
}

void TCompress::ExpandEntry(TStream& Dest, TStream& Source, int32_t PackedSize,
                            int32_t UnpackedSize, uint32_t Checksum, uint8_t Method,
                            const std::string& CompressID, int32_t KeyLock) {
  // An unknown method would leave its packed bytes unread, or read as whatever came next.
  const TMethodInfo* method = FindMethod(Method);
  if (!method) throw EInvalidHeader();
  if (KeyLock > 0 && Key == 0) throw EInvalidKey();
  // Stored data are the file's bytes: any difference between the sizes is damage. Damage in a
  // locked entry is reported as a wrong key throughout, since a wrong key garbles data just so.
  if (method->StoresPlain && PackedSize != UnpackedSize) {
    if (KeyLock > 0) throw EInvalidKey();
    throw EBadChecksum();
  }
  uint32_t computed = 0;
  if (method->ApplicationDefined) {
    if (OnExpand) {
      int32_t checksum = 0;
      OnExpand(Dest, Source, PackedSize, UnpackedSize, CompressID, checksum);
      computed = static_cast<uint32_t>(checksum);
    }
  } else {
    TCappedDest capped(Dest, UnpackedSize > 0 ? UnpackedSize : 0);
    try {
      TCodecOptions options;
      options.Key = Key;
      options.Scrambled = KeyLock == 2;
      options.Progress = &OnShowProgress;
      const TCodecResult run = Run(capped, Source, PackedSize, UnpackedSize, Method, true, options);
      computed = run.Checksum;
      const int32_t made = run.Written;
      // Data that end early are damage whatever their checksum: the entry must come out at its
      // full size, and data read to their end (no size tells their decoder where to stop) must all
      // have arrived.
      // A run the progress handler cancelled is no damage; the caller reports the cancel.
      const TCompThreadSafety& s = CodecState();
      if (!s.FetchCancelled &&
          (made != UnpackedSize || (!method->DecodeNeedsSize && s.InRemaining > 0)))
        throw EBadChecksum();
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
  if (Checksum == 0 && method->StoresPlain) return;
  if (KeyLock > 0) {
    if (static_cast<uint32_t>(Key) + computed == Checksum) return;
    throw EInvalidKey();
  }
  throw EBadChecksum();
}

int32_t TCompress::SpaceAvailableFor(const std::string& Path) {
  if (!CheckSpaceBeforeExpand) return kNoLimit;
  int drive = 0;
  if (platform::HasDrivePrefix(Path)) {
    char letter = Path[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
    drive = static_cast<unsigned char>(letter) - 64;
  }
  float free = DiskFreeBytes(drive, Path);
  if (!(free < static_cast<float>(kNoLimit))) return kNoLimit;
  int32_t answer = static_cast<int32_t>(free);
  if (platform::FileExists(Path)) {
    int64_t size;
    try {
      size = TFileStream::OpenRead(Path)->Size();
    } catch (const EFOpenError& e) {
      throw EInOutError(e.Message());
    }
    // An existing file will be replaced, so its bytes count as free.
    if (static_cast<double>(size) + static_cast<double>(free) < kNoLimit)
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
  // Up from the whole path to the first folder that exists, then the missing ones are made
  // outermost first. The root ("C:\", "\\server\share\", "\\?\C:\", "/") is never made: it
  // exists, or making the first folder below it fails. The walk keeps positions, not names, and
  // runs without recursion: a name may be as long and as odd as a damaged archive makes it.
  const size_t root = platform::RootLength(Folder);
  std::vector<size_t> missing;  // where each missing folder's name ends, innermost first
  std::string folder = Folder;
  for (size_t end = Folder.size();;) {
    while (end > root && IsSeparator(Folder[end - 1])) --end;  // a run of separators is one
    if (end <= root) break;
    folder.resize(end);
    if (FolderExists(folder)) break;
    missing.push_back(end);
    while (end > root && !IsSeparator(Folder[end - 1])) --end;  // up to the parent
  }
  folder.clear();
  for (auto end = missing.rbegin(); end != missing.rend(); ++end) {
    folder.append(Folder, folder.size(), *end - folder.size());
    platform::MakeFolder(folder);
  }
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
