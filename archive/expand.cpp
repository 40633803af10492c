// Expanding an archive stream into files: selection, destination paths, free space, folders and
// creating each file; each entry's data go through ExpandEntry (entry.cpp).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "qobz/archive_reader.h"
#include "qobz/compress.h"

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
