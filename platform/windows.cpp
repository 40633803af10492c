// Windows implementation of the platform layer and of TFileStream.
#if defined(_WIN32)

#include <windows.h>
#include <winternl.h>
// <windows.h> maps these names to its own functions; ours keep their names.
#undef DeleteFile
#undef YieldProcessor

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "qobz/errors.h"
#include "qobz/stream.h"

namespace qobz {

namespace {

constexpr intptr_t kNoHandle = -1;

// NT statuses the walk below a target tells apart (<ntstatus.h> clashes with <windows.h>).
constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kNotAFolder = static_cast<NTSTATUS>(0xC0000103);

std::string Reason(DWORD code) {
  char text[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
  if (n == 0) return "System error " + std::to_string(code);
  return std::string(text, n);
}

HANDLE AsHandle(intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

// A name as the ANSI calls would hand it to the file system: UTF-16, from the ANSI code page.
std::wstring Wide(const std::string& s) {
  std::wstring w(s.size(), L'\0');
  int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(),
                              static_cast<int>(w.size()));
  w.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return w;
}

// Opens path for reading and writing, unshared, as `disposition` (CREATE_ALWAYS, CREATE_NEW)
// has it.
HANDLE CreateForWriting(const std::string& path, DWORD disposition) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::unique_ptr<TFileStream> TFileStream::OpenRead(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    throw EFOpenError("Cannot open file \"" + path + "\". " + Reason(GetLastError()));
  return std::unique_ptr<TFileStream>(new TFileStream(reinterpret_cast<intptr_t>(h), path));
}

std::unique_ptr<TFileStream> TFileStream::Create(const std::string& path) {
  HANDLE h = CreateForWriting(path, CREATE_ALWAYS);
  if (h == INVALID_HANDLE_VALUE)
    throw EFCreateError("Cannot create file \"" + path + "\". " + Reason(GetLastError()));
  return std::unique_ptr<TFileStream>(new TFileStream(reinterpret_cast<intptr_t>(h), path));
}

std::unique_ptr<TFileStream> TFileStream::CreateEntry(const std::string& path) {
  return Create(path);
}

TFolderWalk::~TFolderWalk() = default;

void TFolderWalk::Reset() {
  chain_.clear();
  base_.clear();
}

namespace {

// A handle closed by the destructor.
class THandle {
 public:
  THandle() = default;
  explicit THandle(HANDLE h) : h_(h) {}
  ~THandle() { Reset(); }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (Valid()) CloseHandle(h_);
    h_ = h;
  }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// What the target and each folder below it are opened with: enough to list it and tell what it
// is (opening, making, renaming and removing names relative to a handle needs no more; the file
// system checks the folder's own rights). Never with delete sharing: a folder held can be neither
// renamed, removed nor swapped for a link while it is held.
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ACCESS_MASK kFileAccess = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

// One name in `folder`, opened relative to the folder's handle (never a path looked up again),
// never following a link or junction: with FILE_OPEN_REPARSE_POINT one is opened itself.
// Answers the NT status; `h` holds the handle on success.
NTSTATUS OpenIn(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG sharing,
                ULONG disposition, ULONG options, THandle& h) {
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE opened = INVALID_HANDLE_VALUE;
  const NTSTATUS status = NtCreateFile(
      &opened, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, sharing, disposition,
      options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  h.Reset(NT_SUCCESS(status) ? opened : INVALID_HANDLE_VALUE);
  return status;
}

DWORD ErrorOf(NTSTATUS status) {
  return RtlNtStatusToDosError(status);
}

// Whether the handle is a link or junction (a reparse point) itself; links == 1 unless told
// otherwise. False when the handle cannot tell, with `links` left 0.
bool ReparsePoint(HANDLE h, DWORD* links = nullptr) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    if (links) *links = 0;
    return false;
  }
  if (links) *links = info.nNumberOfLinks;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// One name of an archive path as the file system takes it: trailing dots and spaces dropped, as
// the Windows path calls drop them. Empty when the name cannot stand below the target ("..", a
// name of dots and spaces only, a NUL, a stream name after ':').
std::wstring NameBelow(std::string name) {
  if (name == ".." || name.find_first_of(std::string(":\0", 2)) != std::string::npos) return {};
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  return Wide(name);
}

[[noreturn]] void ThrowCreate(const std::string& path, DWORD code) {
  throw EFCreateError("Cannot create file \"" + path + "\". " + Reason(code));
}

// Sets one class of information on the file of `h`; false with the last error set on failure.
bool SetInformation(HANDLE h, void* info, ULONG size, FILE_INFORMATION_CLASS kind) {
  IO_STATUS_BLOCK io = {};
  const NTSTATUS status = NtSetInformationFile(h, &io, info, size, kind);
  if (!NT_SUCCESS(status)) SetLastError(ErrorOf(status));
  return NT_SUCCESS(status);
}

// Marks the file of `h` (opened with DELETE) for removal when its last handle closes.
bool MarkRemoved(HANDLE h) {
  struct {
    BOOLEAN remove;  // FILE_DISPOSITION_INFORMATION, whose field the headers name differently
  } removal = {TRUE};
  return SetInformation(h, &removal, sizeof removal, FileDispositionInformation);
}

// Makes the file named `name` in `folder`, relative to the folder's handle, for reading and
// writing, unshared. A name taken answers an invalid handle with only_new, is replaced with
// replace, and raises EFCreateError otherwise, as does every other failure.
HANDLE CreateIn(HANDLE folder, const std::wstring& name, bool only_new, bool replace,
                const std::string& path) {
  constexpr int kRounds = 8;
  THandle h;
  for (int round = 0; round < kRounds; ++round) {
    NTSTATUS status = OpenIn(folder, name, kFileAccess, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, h);
    if (NT_SUCCESS(status)) return h.Release();
    if (status != kNameCollision || !replace) {
      if (status == kNameCollision && only_new) return INVALID_HANDLE_VALUE;
      ThrowCreate(path, ErrorOf(status));
    }
    // Taken: a plain file with no other names is cut and written, as the Windows call with
    // normal attributes would; anything else (a link, a file with more names) is removed and
    // the name made anew. Either way only the name changes: nothing is followed.
    status = OpenIn(folder, name, kFileAccess | DELETE, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE, h);
    if (status == kNameNotFound) continue;
    if (!NT_SUCCESS(status)) ThrowCreate(path, ErrorOf(status));
    DWORD links = 0;
    if (!ReparsePoint(h.Get(), &links) && links == 1) {
      FILE_END_OF_FILE_INFO end = {};
      if (!SetInformation(h.Get(), &end, sizeof end, FileEndOfFileInformation))
        ThrowCreate(path, GetLastError());
      return h.Release();
    }
    if (!MarkRemoved(h.Get())) ThrowCreate(path, GetLastError());
    h.Reset();
  }
  ThrowCreate(path, ERROR_FILE_EXISTS);
}

}  // namespace

namespace {

// Opens the folders of `relative` below the folder `root` up to its last name, each relative to
// the one before, a link or junction refused, never entered. `dir` holds the last folder (left
// empty when that is `root` itself) and `leaf` the last name. False with the last error set.
bool OpenParentBelow(HANDLE root, const std::string& relative, THandle& dir, std::wstring& leaf) {
  size_t start = 0;
  for (;;) {
    const size_t end = relative.find_first_of("\\/", start);
    const std::string part =
        relative.substr(start, end == std::string::npos ? std::string::npos : end - start);
    leaf = part.empty() || part == "." ? std::wstring() : NameBelow(part);
    if (leaf.empty()) {
      SetLastError(ERROR_INVALID_NAME);
      return false;
    }
    if (end == std::string::npos) return true;
    THandle next;
    const NTSTATUS status = OpenIn(dir.Valid() ? dir.Get() : root, leaf, kFolderAccess,
                                   kFolderSharing, FILE_OPEN, FILE_DIRECTORY_FILE, next);
    if (!NT_SUCCESS(status) || ReparsePoint(next.Get())) {
      SetLastError(NT_SUCCESS(status) ? ERROR_CANT_RESOLVE_FILENAME : ErrorOf(status));
      return false;
    }
    dir.Reset(next.Release());
    start = end + 1;
  }
}

// Opens `relative` below the held `root` as OpenParentBelow walks it: a file (read-only) or a
// folder, never a link or junction. False with the last error set.
bool OpenBelow(const platform::THeldFolder& root, const std::string& relative, bool folder,
               THandle& h) {
  THandle dir;
  std::wstring leaf;
  if (!OpenParentBelow(AsHandle(root.Handle()), relative, dir, leaf)) return false;
  const NTSTATUS status =
      OpenIn(dir.Valid() ? dir.Get() : AsHandle(root.Handle()), leaf,
             folder ? kFolderAccess : GENERIC_READ | SYNCHRONIZE, kFolderSharing, FILE_OPEN,
             folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE, h);
  if (!NT_SUCCESS(status) || ReparsePoint(h.Get())) {
    SetLastError(NT_SUCCESS(status) ? ERROR_CANT_RESOLVE_FILENAME : ErrorOf(status));
    h.Reset();
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<TFileStream> TFileStream::OpenReadBelow(const platform::THeldFolder& root,
                                                        const std::string& relative) {
  const std::string path = root.Path() + "\\" + relative;
  THandle h;
  if (!OpenBelow(root, relative, false, h))
    throw EFOpenError("Cannot open file \"" + path + "\". " + Reason(GetLastError()));
  return std::unique_ptr<TFileStream>(
      new TFileStream(reinterpret_cast<intptr_t>(h.Release()), path));
}

// The walk of CreateEntryBelow and CreatePassingBelow: the target opened by its path (it is the
// caller's and may be reached through a link), then each folder of `relative` opened relative to
// the one before, made where missing with make_folders, a link or junction refused, never
// entered; then the file made relative to the last folder, which the stream keeps.
std::unique_ptr<TFileStream> TFileStream::CreateBelowHeld(const std::string& folder,
                                                          const std::string& relative,
                                                          bool make_folders, TFolderWalk*,
                                                          TMake make) {
  std::string path = folder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  const size_t base = path.size();
  path += relative;
  THandle dir(CreateFileA(folder.empty() ? "." : folder.c_str(), kFolderAccess, kFolderSharing,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!dir.Valid()) ThrowCreate(path, GetLastError());
  size_t start = 0;
  std::string part;
  for (;;) {
    const size_t end = relative.find_first_of("\\/", start);
    if (end == std::string::npos) break;
    part.assign(relative, start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    const std::wstring name = NameBelow(part);
    if (name.empty()) ThrowCreate(path, ERROR_INVALID_NAME);
    const std::string folder_path = path.substr(0, base + end);
    THandle next;
    const NTSTATUS status =
        OpenIn(dir.Get(), name, kFolderAccess, kFolderSharing,
               make_folders ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE, next);
    if (!NT_SUCCESS(status)) {
      // A link to a file where a folder should be is a link too.
      THandle found;
      if (NT_SUCCESS(OpenIn(dir.Get(), name, FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0,
                            found)) &&
          ReparsePoint(found.Get()))
        next.Reset(found.Release());
      else if (make_folders && status == kNotAFolder)
        // Something other than a folder holds the folder's name: the folder cannot be made.
        throw EInOutError("Cannot make folder \"" + folder_path + "\". " + Reason(ErrorOf(status)));
      else
        ThrowCreate(path, ErrorOf(status));
    }
    if (ReparsePoint(next.Get()))
      throw EFCreateError("Cannot create file \"" + path + "\". \"" + folder_path +
                          "\" is a symbolic link or junction, not followed");
    dir.Reset(next.Release());
  }
  part.assign(relative, start, std::string::npos);
  const std::wstring leaf = NameBelow(part);
  if (part == "." || leaf.empty()) ThrowCreate(path, ERROR_INVALID_NAME);
  std::string name = part;
  HANDLE h = INVALID_HANDLE_VALUE;
  if (make == TMake::Passing) {
    // A name taken (by anything: a link, a planted file) is never opened: another is drawn.
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
      if (!platform::RandomName(".qobz-", name))
        throw EFCreateError("Cannot create file \"" + path + "\". No random source");
      h = CreateIn(dir.Get(), Wide(name), true, false, path);
    }
    if (h == INVALID_HANDLE_VALUE) ThrowCreate(path, ERROR_FILE_EXISTS);
  } else {
    h = CreateIn(dir.Get(), leaf, make == TMake::OnlyNew, make == TMake::Replace, path);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
  }
  std::unique_ptr<TFileStream> stream(new TFileStream(reinterpret_cast<intptr_t>(h), path));
  stream->HoldFolder(
      std::make_unique<platform::THeldFolder>(reinterpret_cast<intptr_t>(dir.Release()), folder),
      name);
  if (make == TMake::Passing) stream->final_name_ = part;
  return stream;
}

void TFileStream::HoldFolder(std::shared_ptr<platform::THeldFolder> folder, std::string name) {
  folder_ = std::move(folder);
  name_ = std::move(name);
}

void TFileStream::Keep() {}

bool TFileStream::Commit() {
  if (!folder_ || final_name_.empty()) return false;
  Close();
  if (!folder_->Rename(name_, final_name_)) return false;
  name_ = std::move(final_name_);
  final_name_.clear();
  return true;
}

bool TFileStream::Remove() {
  Close();
  if (!folder_) return DeleteFileA(path_.c_str()) != 0;
  if (name_.empty()) return true;  // removed already
  if (!folder_->Remove(name_)) return false;
  name_.clear();
  final_name_.clear();
  return true;
}

TFileStream::~TFileStream() {
  Close();
  Keep();
}

void TFileStream::Close() {
  if (handle_ != kNoHandle) CloseHandle(AsHandle(handle_));
  handle_ = kNoHandle;
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || handle_ == kNoHandle) return 0;
  int32_t done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!ReadFile(AsHandle(handle_), static_cast<char*>(buffer) + done,
                  static_cast<DWORD>(count - done), &n, nullptr) ||
        n == 0)
      break;
    done += static_cast<int32_t>(n);
  }
  return done;
}

void TFileStream::WriteBuffer(const void* buffer, int32_t count) {
  int32_t done = 0;
  while (done < count) {
    DWORD n = 0;
    BOOL ok = handle_ != kNoHandle &&
              WriteFile(AsHandle(handle_), static_cast<const char*>(buffer) + done,
                        static_cast<DWORD>(count - done), &n, nullptr);
    if (!ok || n == 0) {
      DWORD err = ok ? ERROR_DISK_FULL : GetLastError();
      throw EWriteError("Stream write error on \"" + path_ + "\". " + Reason(err));
    }
    done += static_cast<int32_t>(n);
  }
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
  if (handle_ == kNoHandle) return -1;
  DWORD method = origin == SeekOrigin::Begin ? FILE_BEGIN
                 : origin == SeekOrigin::End ? FILE_END
                                             : FILE_CURRENT;
  LARGE_INTEGER distance, result;
  distance.QuadPart = offset;
  if (!SetFilePointerEx(AsHandle(handle_), distance, &result, method)) return -1;
  return result.QuadPart;
}

int64_t TFileStream::Size() {
  LARGE_INTEGER size;
  if (handle_ == kNoHandle || !GetFileSizeEx(AsHandle(handle_), &size)) return -1;
  return size.QuadPart;
}

namespace platform {

void YieldProcessor() {
  Sleep(0);
}

int OpenFileLimit() {
  return 1 << 14;  // handles: as many as memory allows; this is more than any job count needs
}

int ProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

void SleepMs(uint32_t milliseconds) {
  Sleep(milliseconds);
}

std::string NativePath(const std::string& path) {
  return path;
}

bool HasDrivePrefix(const std::string& path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

size_t RootLength(const std::string& path) {
  auto separator = [&](size_t i) { return i < path.size() && (path[i] == '\\' || path[i] == '/'); };
  // Past the name that starts at `from`, and past its separator when one follows.
  auto past_name = [&](size_t from) {
    while (from < path.size() && !separator(from)) ++from;
    return separator(from) ? from + 1 : from;
  };
  if (separator(0) && separator(1)) {
    size_t server = 2;
    // "\\?\" and "\\.\" take the path as it is: a drive, "UNC\server\share" or a device follows.
    if (path.size() >= 4 && (path[2] == '?' || path[2] == '.') && separator(3)) {
      if (HasDrivePrefix(path.substr(4, 2))) return separator(6) ? 7 : 6;
      if (path.size() < 8 || _strnicmp(path.c_str() + 4, "UNC", 3) != 0 || !separator(7))
        return past_name(4);
      server = 8;
    }
    return past_name(past_name(server));  // the server, then the share
  }
  if (HasDrivePrefix(path)) return separator(2) ? 3 : 2;
  return separator(0) ? 1 : 0;
}

int64_t GetAttributes(const std::string& path) {
  DWORD attr = GetFileAttributesA(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return -1;
  return attr;
}

int64_t GetAttributes(TFileStream& file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(AsHandle(file.Handle()), &info)) return -1;
  return info.dwFileAttributes;
}

bool SetAttributes(const std::string& path, uint32_t attributes) {
  return SetFileAttributesA(path.c_str(), attributes) != 0;
}

bool SetAttributes(TFileStream& file, uint32_t attributes) {
  // By the file's handle: a file made below a target has no path to look up again.
  constexpr uint32_t kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  FILE_BASIC_INFO info = {};
  info.FileAttributes =
      (attributes & kSettable) != 0 ? attributes & kSettable : FILE_ATTRIBUTE_NORMAL;
  return file.Handle() != kNoHandle &&
         SetInformation(AsHandle(file.Handle()), &info, sizeof info, FileBasicInformation);
}

bool SetReplacingAccess(TFileStream&, const std::string&) {
  return true;
}

bool FileExists(const std::string& path) {
  DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DeleteFile(const std::string& path) {
  return DeleteFileA(path.c_str()) != 0;
}

void MakeFolder(const std::string& path) {
  if (!CreateDirectoryA(path.c_str(), nullptr))
    throw EInOutError("Cannot make folder \"" + path + "\". " + Reason(GetLastError()));
}

bool SetFileDate(TFileStream& file, uint32_t dos_stamp) {
  FILETIME local, utc;
  if (!DosDateTimeToFileTime(static_cast<WORD>(dos_stamp >> 16), static_cast<WORD>(dos_stamp),
                             &local))
    return false;
  if (!LocalFileTimeToFileTime(&local, &utc)) return false;
  return file.Handle() != kNoHandle &&
         SetFileTime(AsHandle(file.Handle()), nullptr, nullptr, &utc) != 0;
}

namespace {

// A last-write time as a local-time MS-DOS stamp, or 0 when it has none.
uint32_t DosStamp(const FILETIME& when) {
  FILETIME local;
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&when, &local) || !FileTimeToDosDateTime(&local, &date, &time))
    return 0;
  return (static_cast<uint32_t>(date) << 16) | time;
}

}  // namespace

uint32_t GetFileDate(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)
             ? DosStamp(data.ftLastWriteTime)
             : 0;
}

uint32_t GetFileDate(TFileStream& file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(AsHandle(file.Handle()), &info) ? DosStamp(info.ftLastWriteTime)
                                                                    : 0;
}

double DiskFreeBytes(int drive, const std::string&) {
  DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
  char root[4] = {static_cast<char>('@' + drive), ':', '\\', 0};
  if (!GetDiskFreeSpaceA(drive == 0 ? nullptr : root, &sectors_per_cluster, &bytes_per_sector,
                         &free_clusters, &total_clusters))
    return -1;
  return static_cast<double>(bytes_per_sector) * sectors_per_cluster * free_clusters;
}

std::string LastErrorText() {
  return Reason(GetLastError());
}

bool FolderExists(const std::string& path) {
  DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string OwnModulePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&OwnModulePath), &module))
    return {};
  char buffer[261] = {};
  DWORD n = GetModuleFileNameA(module, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return {};
  return buffer;
}

bool FolderWritableByOthers(const std::string&) {
  return false;
}

bool SameFileName(const std::string& a, const std::string& b) {
  if (a == b) return true;
  // The file system folds case on UTF-16 names, code unit by code unit, with its own table:
  // compare as it does, on the names the ANSI calls would hand it.
  std::wstring wa = Wide(a), wb = Wide(b);
  return !wa.empty() && CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(),
                                             static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

bool StartProcess(const std::string& command_line) {
  // CreateProcessA may write into the command line, so it gets a copy of its own.
  std::string line = command_line;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &info))
    return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

namespace {

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

}  // namespace

int RunProcessAndWait(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::string line;
  for (const std::string& arg : argv) line += (line.empty() ? "" : " ") + QuoteArgument(arg);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info))
    return -1;
  CloseHandle(info.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(info.hProcess, &code))
    code = static_cast<DWORD>(-1);
  CloseHandle(info.hProcess);
  return static_cast<int>(code);
}

namespace {

// The names in the open folder `h`, read through its handle.
bool ListOpenFolder(HANDLE h, std::vector<FolderEntry>& entries) {
  entries.clear();
  std::vector<uint64_t> buffer(8192);  // 64 KiB, aligned for the records
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(h, kind, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(uint64_t)))) {
    kind = FileIdBothDirectoryInfo;
    const auto* at = reinterpret_cast<const uint8_t*>(buffer.data());
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      const int wide = static_cast<int>(info->FileNameLength / sizeof(WCHAR));
      const int n =
          WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, nullptr, 0, nullptr, nullptr);
      FolderEntry entry;
      entry.name.assign(static_cast<size_t>(n), '\0');
      WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, entry.name.data(), n, nullptr, nullptr);
      if (entry.name != "." && entry.name != "..") {
        entry.is_link = (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entry.is_folder = !entry.is_link && (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries.push_back(std::move(entry));
      }
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
  return GetLastError() == ERROR_NO_MORE_FILES;
}

// A folder opened by its path, the caller's choice (links on the way followed), held without
// delete sharing.
HANDLE OpenFolderByPath(const std::string& path) {
  return CreateFileA(path.empty() ? "." : path.c_str(), kFolderAccess, kFolderSharing, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool ListFolder(const std::string& path, std::vector<FolderEntry>& entries) {
  THandle folder(OpenFolderByPath(path));
  if (!folder.Valid()) {
    entries.clear();
    return false;
  }
  return ListOpenFolder(folder.Get(), entries);
}

std::unique_ptr<THeldFolder> HoldFolderToRead(const std::string& path) {
  HANDLE h = OpenFolderByPath(path);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<THeldFolder>(reinterpret_cast<intptr_t>(h), path);
}

bool ListFolderBelow(const THeldFolder& root, const std::string& relative,
                     std::vector<FolderEntry>& entries) {
  entries.clear();
  THandle folder;
  if (!relative.empty() && !OpenBelow(root, relative, true, folder)) return false;
  return ListOpenFolder(folder.Valid() ? folder.Get() : AsHandle(root.Handle()), entries);
}

bool RenameFile(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string EnvironmentValue(const char* name) {
  char buffer[32768];
  DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return {};
  return std::string(buffer, n);
}

std::unique_ptr<TSharedLibrary> TSharedLibrary::Load(const std::string& path) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) return nullptr;
  return std::unique_ptr<TSharedLibrary>(new TSharedLibrary(reinterpret_cast<void*>(module)));
}

TSharedLibrary::~TSharedLibrary() {
  FreeLibrary(static_cast<HMODULE>(handle_));
}

void* TSharedLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

namespace {

// A registry key of the current user, closed by the destructor.
class TRegistryKey : public THandOffKey {
 public:
  explicit TRegistryKey(HKEY key) : key_(key) {}
  ~TRegistryKey() override { RegCloseKey(key_); }

  bool WriteString(const std::string& name, const std::string& value) override {
    if (value.size() > kHandOffValueLimit) return false;
    return RegSetValueExA(key_, name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
  }

  bool ReadString(const std::string& name, std::string& value) override {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ || size > kHandOffValueLimit + 1)
      return false;
    std::string text(size + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &got) != ERROR_SUCCESS ||
        type != REG_SZ)
      return false;
    // The stored text may or may not carry its terminating zero; it ends at the first one.
    text.resize(got);
    size_t end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    if (text.size() > kHandOffValueLimit) return false;
    value = std::move(text);
    return true;
  }

  bool DeleteValue(const std::string& name) override {
    return RegDeleteValueA(key_, name.c_str()) == ERROR_SUCCESS;
  }

 private:
  HKEY key_;
};

}  // namespace

std::unique_ptr<THandOffKey> OpenHandOffKey(const std::string& key, std::string* why) {
  HKEY handle = nullptr;
  LONG code = RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &handle, nullptr);
  if (code != ERROR_SUCCESS) {
    if (why)
      *why = "cannot open HKEY_CURRENT_USER\\" + key + ": " + Reason(static_cast<DWORD>(code));
    return nullptr;
  }
  return std::make_unique<TRegistryKey>(handle);
}

std::string HandOffStoreRoot() {
  return {};
}

}  // namespace platform

}  // namespace qobz

// RtlGenRandom, exported by advapi32 under this name: the system's random source.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace qobz {

namespace platform {

bool RandomBytes(void* buffer, size_t size) {
  auto* at = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ULONG n = size > 0x10000 ? 0x10000 : static_cast<ULONG>(size);
    if (!SystemFunction036(at, n)) return false;
    at += n;
    size -= n;
  }
  return true;
}

THeldFolder::~THeldFolder() {
  if (handle_ != kNoHandle) CloseHandle(AsHandle(handle_));
}

namespace {

// The file named `name` in the held folder, opened for renaming or removal relative to the
// folder's handle; a link is opened itself, never followed.
bool OpenForChange(HANDLE folder, const std::string& name, THandle& h) {
  const std::wstring wide = NameBelow(name);
  if (wide.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  const NTSTATUS status = OpenIn(folder, wide, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE, h);
  if (!NT_SUCCESS(status)) SetLastError(ErrorOf(status));
  return NT_SUCCESS(status);
}

}  // namespace

bool THeldFolder::Rename(const std::string& from, const std::string& to) const {
  THandle h;
  if (!OpenForChange(AsHandle(handle_), from, h)) return false;
  // The file made is never a link: one found in its place is not moved to the entry's name.
  if (ReparsePoint(h.Get())) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return false;
  }
  const std::wstring name = NameBelow(to);
  if (name.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  // The new name is relative to the held folder too: the file stays where it was made.
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + name.size() * sizeof(WCHAR));
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = AsHandle(handle_);
  rename->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  std::memcpy(rename->FileName, name.data(), rename->FileNameLength);
  return SetInformation(h.Get(), rename, static_cast<ULONG>(buffer.size()), FileRenameInformation);
}

bool THeldFolder::Remove(const std::string& name) const {
  THandle h;
  return OpenForChange(AsHandle(handle_), name, h) && MarkRemoved(h.Get());
}

int ArmRemoval(intptr_t, const std::string&) {
  return -1;
}

bool DisarmRemoval(int) {
  return true;
}

void RemoveArmedFilesOnSignals() {}

bool GetFileIdentity(const std::string& path, FileIdentity& identity) {
  // Opening with no access rights reads the file's information without disturbing other users;
  // backup semantics let folders be opened too.
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return false;
  identity.device = info.dwVolumeSerialNumber;
  identity.file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace platform

std::unique_ptr<TFileStream> TFileStream::CreateUnique(const std::string& folder,
                                                       const std::string& prefix) {
  constexpr int kAttempts = 100;
  std::string base = folder;
  if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
  DWORD err = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < kAttempts && err == ERROR_FILE_EXISTS; ++attempt) {
    std::string name;
    // No entropy, no name: a guessable one is worse than none.
    if (!platform::RandomName(prefix, name)) {
      err = GetLastError();
      break;
    }
    // CREATE_NEW fails on any existing name, a link included.
    HANDLE h = CreateFileA((base + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE)
      return std::unique_ptr<TFileStream>(
          new TFileStream(reinterpret_cast<intptr_t>(h), base + name));
    err = GetLastError();
    if (err == ERROR_ALREADY_EXISTS) err = ERROR_FILE_EXISTS;
  }
  throw EFCreateError("Cannot create a new file in \"" + (folder.empty() ? "." : folder) + "\". " +
                      Reason(err));
}

}  // namespace qobz

// ---- TTrustedFolder ----

namespace qobz::platform {

std::unique_ptr<TTrustedFolder> TTrustedFolder::Open(const std::string& path) {
  if (path.empty() || !FolderExists(path) || FolderWritableByOthers(path)) return nullptr;
  std::string opened = path;
  if (opened.back() != '\\' && opened.back() != '/' && opened.back() != ':') opened += '\\';
  return std::unique_ptr<TTrustedFolder>(new TTrustedFolder(0, opened, opened));
}

TTrustedFolder::~TTrustedFolder() = default;

bool TTrustedFolder::StartProgram(const std::string& name, const std::string& argument) {
  // Held open without delete or write sharing, the file can be neither replaced, renamed nor
  // changed between this check and the start.
  const std::string program = opened_ + name;
  HANDLE file = CreateFileA(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool regular =
      GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
      info.nNumberOfLinks == 1;
  const bool started = regular && StartProcess(program + " " + argument);
  CloseHandle(file);
  return started;
}

}  // namespace qobz::platform

#endif  // _WIN32
