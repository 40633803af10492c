// Krovnel: backing up a folder into a QOBZ archive and verifying an archive.
#include "launcher/companion/krovnel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "launcher/companion/codes.h"
#include "platform/platform.h"
#include "qobz/compress.h"
#include "qobz/methods.h"
#include "qobz/writer.h"

namespace {

std::string Native(const std::string& folder, const std::string& relative) {
  std::string path = folder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  return path + relative;
}

bool SameFolder(std::string a, std::string b) {
  for (std::string* s : {&a, &b}) {
    for (char& c : *s)
      if (c == '/') c = '\\';
    while (s->size() > 1 && s->back() == '\\') s->pop_back();
  }
  return a == b;
}

// Every file below the held `root`, as stored names relative to it, in a stable (sorted) order.
// Each folder is reached from the root one name at a time, and a link is never followed (so a
// loop of links cannot trap the walk, and nothing outside the tree is read): it is left out with
// a warning, as the archive has no way to store one.
bool CollectFiles(const qobz::platform::THeldFolder& root, const std::string& folder,
                  const std::string& prefix, const std::string& skip,
                  std::vector<std::string>& names) {
  std::vector<qobz::platform::FolderEntry> entries;
  const std::string listed = prefix.empty() ? prefix : prefix.substr(0, prefix.size() - 1);
  if (!qobz::platform::ListFolderBelow(root, listed, entries)) return false;
  std::sort(entries.begin(), entries.end(),
            [](const auto& x, const auto& y) { return x.name < y.name; });
  for (const auto& e : entries) {
    std::string name = prefix + e.name;
    if (e.is_link) {
      std::fprintf(stderr, "Krovnel: \"%s\" is a link, not followed; left out of the backup\n",
                   Native(folder, name).c_str());
    } else if (e.is_folder) {
      if (!skip.empty() && SameFolder(Native(folder, name), skip)) continue;
      if (!CollectFiles(root, folder, name + "\\", skip, names)) return false;
    } else {
      names.push_back(name);
    }
  }
  return true;
}

uint8_t MethodCode(const char* id) {
  const qobz::TMethodInfo* method = id ? qobz::FindMethodById(id) : nullptr;
  return method && !method->ApplicationDefined ? method->Code : uint8_t{qobz::kMethodStored};
}

// Writes the archive into `out`, a new temporary file in `target_folder`; answers a result code.
int32_t WriteArchive(const std::string& folder, const std::vector<std::string>& names,
                     qobz::TFileStream& out, const std::string& target_folder, uint8_t method,
                     int32_t& entries) {
  qobz::TCompress compress;
  qobz::TArchiveWriter writer(compress, out, method);
  // Large files are packed ahead into temporary files beside the archive.
  writer.SetSpillFolder(target_folder);
  // Each file is opened below the folder, never through a link.
  writer.SetSourceFolder(folder);
  std::vector<qobz::TFileToAdd> files;
  files.reserve(names.size());
  for (const std::string& name : names) files.push_back({name, name});
  qobz::TAddFilesEvents events;
  events.BeforeEntry = [&](size_t index) { entries = static_cast<int32_t>(index); };
  try {
    writer.AddFiles(files, qobz::platform::ProcessorCount(), events);
  } catch (const qobz::EFOpenError&) {
    return dorvane::kSourceUnreadable;
  }
  entries = static_cast<int32_t>(names.size());
  writer.Finish();
  return dorvane::kDone;
}

}  // namespace

KROVNEL_API int32_t KrovnelBackup(const char* folder, const char* skip_folder,
                                  const char* archive_path, const char* method_id,
                                  char* method_used, int32_t* entries) {
  try {
    std::vector<std::string> names;
    const auto root = qobz::platform::HoldFolderToRead(folder);
    if (!root || !CollectFiles(*root, folder, "", skip_folder ? skip_folder : "", names))
      return dorvane::kSourceUnreadable;
    const std::string target = archive_path;
    const size_t cut = target.find_last_of("\\/");
    const std::string target_folder =
        cut == std::string::npos ? std::string() : target.substr(0, cut);
    int32_t count = 0;
    uint8_t method = MethodCode(method_id);
    int32_t code = dorvane::kInternal;
    for (;;) {
      // A fresh file under a name no one can guess, created exclusively: whatever someone put
      // beside the backup (a link, a file at a name of their choosing) is never opened.
      std::unique_ptr<qobz::TFileStream> out;
      try {
        out = qobz::TFileStream::CreateUnique(target_folder, ".krovnel-");
      } catch (const qobz::Exception&) {
        code = dorvane::kArchiveUnwritable;
        break;
      }
      bool retry = false;
      try {
        code = WriteArchive(folder, names, *out, target_folder, method, count);
      } catch (const qobz::EWriteError&) {
        code = dorvane::kArchiveUnwritable;
      } catch (const qobz::EInvalidHeader&) {
        code = dorvane::kTooLarge;
      } catch (const qobz::Exception&) {
        // The method's codec failed; the stored method always works.
        retry = method != qobz::kMethodStored;
        method = qobz::kMethodStored;
        code = dorvane::kInternal;
      }
      out->Close();
      const std::string temp = out->Path();
      if (code == dorvane::kDone && !qobz::platform::RenameFile(temp, target))
        code = dorvane::kArchiveUnwritable;
      if (code != dorvane::kDone) qobz::platform::DeleteFile(temp);
      if (!retry) break;
    }
    if (method_used) std::memcpy(method_used, qobz::FindMethod(method)->Id, 4);
    if (entries) *entries = count;
    return code;
  } catch (...) {
    return dorvane::kInternal;
  }
}

KROVNEL_API int32_t KrovnelVerify(const char* archive_path, int32_t* entries) {
  int32_t count = 0;
  try {
    auto in = qobz::TFileStream::OpenRead(archive_path);
    qobz::TCompress compress;
    qobz::TArchiveHeader header;
    std::string id;
    compress.ReadArchiveHeader(*in, header, id);
    qobz::TEntryHeader entry;
    std::string name;
    int64_t total = 0;
    while (compress.ReadEntryHeader(*in, entry, name)) {
      qobz::TNullStream sink;
      compress.ExpandEntry(sink, *in, entry.PackedSize, entry.UnpackedSize, entry.Checksum,
                           entry.Method, id, entry.KeyLock);
      if (sink.Size() != entry.UnpackedSize) return dorvane::kVerifyFailed;
      total += entry.UnpackedSize;
      ++count;
    }
    if (in->Position() != in->Size() || total != header.TotalSize) return dorvane::kVerifyFailed;
  } catch (...) {
    return dorvane::kVerifyFailed;
  }
  if (entries) *entries = count;
  return dorvane::kDone;
}
