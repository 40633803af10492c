// qobz_folder_paths: expands a one-entry archive (sub\f.txt) with MakeDirectories below each
// target folder given, as the launcher's component does, and checks the outcome: the file and
// every missing folder made, or, for a target written "!TARGET", EInOutError and no file. Built
// for Windows only, where targets such as "\\?\C:\a\b" and "\\server\share\a" exist; run under
// Wine by folder_paths.sh. Without arguments it only answers 0 (the machine can run it).
// With "--walk FOLDER" it checks instead how files are made below a target, case by case in
// FOLDER\<case>: the folders on the way, a file or a link where a folder should be, a file
// replaced, a passing file committed over another or removed; each by what the folder then holds.
// Exit code: 0 when every target came out as expected, 1 otherwise.
#include <windows.h>
// <windows.h> maps these names to its own functions; the platform layer's keep their names.
#undef DeleteFile
#undef YieldProcessor

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "qobz/compress.h"
#include "qobz/writer.h"

namespace {

using namespace qobz;

// Answers an error text, or empty when the target came out as expected.
std::string Check(const std::vector<uint8_t>& archive, const std::string& target, bool must_fail) {
  TCompress compress;
  compress.MakeDirectories = true;
  compress.SetTargetPath(target);
  const std::string file = compress.TargetPath() + "sub\\f.txt";
  try {
    TMemoryStream source(archive);
    compress.ExpandStreamToFiles(source);
  } catch (const EInOutError& e) {
    if (must_fail && !platform::FileExists(file)) return "";
    return "EInOutError: " + e.Message();
  } catch (const Exception& e) {
    return "unexpected failure: " + e.Message();
  }
  if (must_fail) return "folders were made where none can be";
  std::vector<uint8_t> data(4);
  const int32_t got = TFileStream::OpenRead(file)->Read(data.data(), 4);
  return got == 3 && data[0] == 'a' && data[2] == 'c' ? "" : "the file is not what was packed";
}

enum class TWay { Replace, OnlyNew, Commit, Remove };
constexpr uint32_t kA = platform::kAttrArchive;

struct TWalkCase {
  const char* what;
  // Made first: "NAME/" a folder, "NAME=TEXT" a file, "NAME@TARGET" a folder link, "NAME%FILE"
  // another name of FILE (a hard link).
  const char* before;
  const char* entry;  // the name made below the case's folder, "abc" written to it
  TWay way;
  uint32_t attributes;  // given to the file by its handle
  const char* fails;    // null, or the start of the message the entry must fail with
  // What the case's folder holds then, as `before` writes it, sorted; a read-only file ends "+r".
  const char* after;
};

const TWalkCase kWalkCases[] = {
    {"folders made on the way", "", "a\\b\\c\\f.txt", TWay::Replace, kA, nullptr,
     "a/ a/b/ a/b/c/ a/b/c/f.txt=abc"},
    {"a file on the way", "a=old", "a\\b\\f.txt", TWay::Replace, kA, "Cannot make folder", "a=old"},
    {"a link on the way", "out/ ln@out", "ln\\f.txt", TWay::Replace, kA, "Cannot create file",
     "ln@ out/"},
    {"a file cut and written", "f.txt=longer-old", "f.txt", TWay::Replace, kA, nullptr,
     "f.txt=abc"},
    {"a file with two names replaced, not cut", "f.txt=old g.txt%f.txt", "f.txt", TWay::Replace, kA,
     nullptr, "f.txt=abc g.txt=old"},
    {"only new leaves a file", "f.txt=old", "f.txt", TWay::OnlyNew, kA, nullptr, "f.txt=old"},
    {"commit over a file, read-only", "d/ d/f.txt=old", "d\\f.txt", TWay::Commit,
     kA | platform::kAttrReadOnly, nullptr, "d/ d/f.txt=abc+r"},
    {"remove leaves nothing", "", "e\\f.txt", TWay::Remove, kA, nullptr, "e/"},
};

std::string ReadAll(const std::string& path) {
  char data[64];
  const int32_t n = TFileStream::OpenRead(path)->Read(data, sizeof data);
  return std::string(data, static_cast<size_t>(n));
}

// The folder's content below `prefix`, as TWalkCase::after writes it (unsorted).
void List(const std::string& folder, const std::string& prefix, std::vector<std::string>& out) {
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, entries)) out.push_back(prefix + "?unlistable");
  for (const auto& e : entries) {
    const std::string name = prefix + e.name;
    if (e.is_link) {
      out.push_back(name + "@");
    } else if (e.is_folder) {
      out.push_back(name + "/");
      List(folder + "\\" + e.name, name + "/", out);
    } else {
      const std::string path = folder + "\\" + e.name;
      const bool read_only = (platform::GetAttributes(path) & platform::kAttrReadOnly) != 0;
      out.push_back(name + "=" + ReadAll(path) + (read_only ? "+r" : ""));
    }
  }
}

// Makes a folder link at `link` to the folder `target` (a full path): a symbolic link, else a
// junction. Empty, or why neither can be made here.
std::string MakeLink(const std::string& link, const std::string& target) {
  auto made = [&] {
    const DWORD attr = GetFileAttributesA(link.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  };
  constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  const BOOL answered = CreateSymbolicLinkA(link.c_str(), target.c_str(),
                                            SYMBOLIC_LINK_FLAG_DIRECTORY | kUnprivileged);
  std::string why = answered ? "CreateSymbolicLinkA answered success but made no link"
                             : "CreateSymbolicLinkA failed: " + platform::LastErrorText();
  if (made()) return "";
  // A junction: an empty folder given a mount-point reparse point (a REPARSE_DATA_BUFFER: tag,
  // sizes, then the substitute name "\??\TARGET" and an empty print name).
  RemoveDirectoryA(link.c_str());
  if (!CreateDirectoryA(link.c_str(), nullptr)) return why + "; cannot make the junction's folder";
  HANDLE h = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return why + "; cannot open the junction's folder";
  std::wstring name = L"\\??\\";
  for (const char ch : target) name += static_cast<wchar_t>(static_cast<unsigned char>(ch));
  const auto bytes = static_cast<uint16_t>(name.size() * sizeof(wchar_t));
  std::vector<uint8_t> buffer(8 + 8 + bytes + 2 * sizeof(wchar_t), 0);
  auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&buffer[at], &v, 2); };
  const uint32_t tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&buffer[0], &tag, 4);
  put16(4, static_cast<uint16_t>(buffer.size() - 8));  // data length
  put16(8, 0);                                         // substitute name: offset, length
  put16(10, bytes);
  put16(12, static_cast<uint16_t>(bytes + sizeof(wchar_t)));  // print name: offset, length 0
  std::memcpy(&buffer[16], name.data(), bytes);
  DWORD returned = 0;
  const BOOL set =
      DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                      nullptr, 0, &returned, nullptr);
  if (!set) why += "; FSCTL_SET_REPARSE_POINT failed: " + platform::LastErrorText();
  CloseHandle(h);
  if (made()) return "";
  RemoveDirectoryA(link.c_str());
  return why + (set ? "; FSCTL_SET_REPARSE_POINT answered success but made no junction" : "");
}

// Answers an error text, or empty when the case came out as expected; `skipped` says why a
// case could not run.
std::string RunWalkCase(const TWalkCase& c, const std::string& folder, std::string& skipped) {
  platform::MakeFolder(folder);
  std::string word;
  for (const char* p = c.before;; ++p) {
    if (*p != ' ' && *p != '\0') {
      word += *p;
      continue;
    }
    if (!word.empty()) {
      const size_t eq = word.find('='), at = word.find('@'), second = word.find('%');
      if (word.back() == '/') {
        platform::MakeFolder(folder + "\\" + word.substr(0, word.size() - 1));
      } else if (eq != std::string::npos) {
        const std::string text = word.substr(eq + 1);
        TFileStream::Create(folder + "\\" + word.substr(0, eq))
            ->WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
      } else if (second != std::string::npos) {
        if (!CreateHardLinkA((folder + "\\" + word.substr(0, second)).c_str(),
                             (folder + "\\" + word.substr(second + 1)).c_str(), nullptr))
          return "cannot make a hard link: " + platform::LastErrorText();
      } else if (at != std::string::npos) {
        skipped = MakeLink(folder + "\\" + word.substr(0, at), folder + "\\" + word.substr(at + 1));
        if (!skipped.empty()) return "";
      } else {
        return "bad case: " + word;
      }
    }
    word.clear();
    if (*p == '\0') break;
  }
  std::string error;
  try {
    auto file =
        c.way == TWay::Commit || c.way == TWay::Remove
            ? TFileStream::CreatePassingBelow(folder, c.entry, true, nullptr)
            : TFileStream::CreateEntryBelow(folder, c.entry, true, nullptr, c.way == TWay::OnlyNew);
    if (file) {
      file->WriteBuffer("abc", 3);
      if (!platform::SetAttributes(*file, c.attributes)) error = "attributes not set";
      file->Close();
      if (c.way == TWay::Commit && !file->Commit()) error = "Commit failed";
      if (c.way == TWay::Remove && !file->Remove()) error = "Remove failed";
    } else if (c.way != TWay::OnlyNew) {
      error = "no file and no error";
    }
    if (c.fails && error.empty()) error = "made where it must fail";
  } catch (const Exception& e) {
    if (!c.fails || e.Message().rfind(c.fails, 0) != 0) error = "failed: " + e.Message();
  }
  std::vector<std::string> found;
  List(folder, "", found);
  std::sort(found.begin(), found.end());
  std::string held;
  for (const auto& f : found) held += (held.empty() ? "" : " ") + f;
  if (held != c.after)
    error += (error.empty() ? "" : "; ") + std::string("holds \"") + held + "\", not \"" + c.after +
             "\"";
  return error;
}

int RunWalk(const std::string& base) {
  int failed = 0, n = 0;
  platform::MakeFolder(base);
  for (const TWalkCase& c : kWalkCases) {
    std::string skipped, error;
    try {
      error = RunWalkCase(c, base + "\\" + std::to_string(++n), skipped);
    } catch (const Exception& e) {
      error = "setup failed: " + e.Message();
    }
    if (!skipped.empty())
      std::printf("SKIPPED walk: %s: %s\n", c.what, skipped.c_str());
    else
      std::printf("%s walk: %s%s%s\n", error.empty() ? "ok  " : "FAIL", c.what,
                  error.empty() ? "" : ": ", error.c_str());
    failed += error.empty() ? 0 : 1;
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--walk") == 0) return RunWalk(argv[2]);
  TMemoryStream archive;
  {
    TCompress compress;
    TArchiveWriter writer(compress, archive, kMethodStored);
    TMemoryStream data(std::vector<uint8_t>{'a', 'b', 'c'});
    writer.AddEntry("sub\\f.txt", data, 0x31859978u, 0x20);
    writer.Finish();
  }
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    const bool must_fail = argv[i][0] == '!';
    const std::string target = argv[i] + (must_fail ? 1 : 0);
    std::string error;
    try {
      error = Check(archive.Data(), target, must_fail);
    } catch (const Exception& e) {
      error = "cannot read back: " + e.Message();
    }
    std::printf("%s %s%s%s\n", error.empty() ? "ok  " : "FAIL", argv[i], error.empty() ? "" : ": ",
                error.c_str());
    failed += error.empty() ? 0 : 1;
  }
  return failed == 0 ? 0 : 1;
}
