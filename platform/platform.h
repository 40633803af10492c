// The only interface to the host system. Everything below it differs between Windows and POSIX;
// everything above it is portable.
//
// Paths given to these functions are archive-style paths: backslashes between folder names, as
// stored in archives and in TargetPath. On POSIX they are mapped to '/' here, where the file
// system is touched, and a leading backslash is a path from the root.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qobz {
class TFileStream;
}

namespace qobz::platform {

// Gives other threads of the process a chance to run: a zero-length sleep on Windows, where a
// program's own threads may wait for it. POSIX schedulers preempt a busy thread anyway, so there
// it does nothing: a sched_yield per 8 KiB buffer cost RLE and stored runs a quarter of their
// time in system calls, and gave the processor away to other programs on a busy machine.
void YieldProcessor();
// Sleeps for the given number of milliseconds.
void SleepMs(uint32_t milliseconds);
// The number of processors the system has online, at least 1.
int ProcessorCount();
// How many files the process may have open at once (POSIX: the soft RLIMIT_NOFILE), at least 1.
int OpenFileLimit();

// The host's form of an archive-style path.
std::string NativePath(const std::string& path);
// True when the path starts with a drive ("C:"). Windows only: on POSIX a colon is an ordinary
// character of a name.
bool HasDrivePrefix(const std::string& path);
// The length of the path's root: the leading part that names a drive, a share or the top of the
// file system, which exists or not but is never made as a folder. Windows: "C:" (drive-relative)
// or "C:\", a leading "\", "\\server\share\", and after "\\?\" or "\\.\" a drive ("\\?\C:\"),
// "UNC\server\share\" or a device ("\\.\PhysicalDrive0\"); the separator after it is included
// when there is one. POSIX: the leading separators. 0 for a relative path.
size_t RootLength(const std::string& path);

// ---- Names and the files made below a target ----

// Fills the buffer from the system's random source (getrandom; RtlGenRandom on Windows). Answers
// false when that source fails: nothing weaker stands in for it.
bool RandomBytes(void* buffer, size_t size);

// `prefix` followed by 16 letters and digits drawn by RandomBytes (about 82 bits). False when
// RandomBytes fails.
bool RandomName(const std::string& prefix, std::string& name);

// Why a stored name (archive-style, its bytes exactly as stored) cannot name a file here, or
// empty when it can: it holds a byte no file name may hold on this system (NUL; on Windows also
// the bytes 1 to 31 and <>:"|?*, after a root that the name may start with), one of its names is
// longer than a folder entry may be, or the whole is longer than a path may be.
std::string NameRefusal(const std::string& name);
// A stored name as messages and listings show it: control bytes (and DEL) written as \xHH, every
// other byte as it is.
std::string EscapedName(const std::string& name);

// A folder held open, so that files in it are renamed and removed in that very folder, whatever
// happens to the path that led to it meanwhile (POSIX: a descriptor, used with renameat and
// unlinkat; Windows: a handle without delete sharing, so that the folder can be neither moved nor
// deleted, which names are opened, renamed and removed relative to).
class THeldFolder {
 public:
  THeldFolder(intptr_t handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  ~THeldFolder();
  THeldFolder(const THeldFolder&) = delete;
  THeldFolder& operator=(const THeldFolder&) = delete;
  intptr_t Handle() const { return handle_; }
  const std::string& Path() const { return path_; }
  // Gives up the handle without closing it.
  void Release() { handle_ = -1; }
  // Renames `from` to `to`, both names in this folder, replacing a file that has the name `to`.
  bool Rename(const std::string& from, const std::string& to) const;
  bool Remove(const std::string& name) const;

 private:
  intptr_t handle_;
  std::string path_;
};

// Files that the process removes should a signal end it (the files a command is making, until
// they are complete). Arm answers a slot, or -1 when every slot is taken or the name is too long;
// the folder's handle must stay open until Disarm. Disarm answers false when a signal's removal
// has the slot already: the process is ending, and the handle must not be closed.
int ArmRemoval(intptr_t folder, const std::string& name);
bool DisarmRemoval(int slot);
// From now on SIGINT, SIGTERM and SIGHUP remove every armed file and end the process as the signal
// does (a shell sees 128 + the signal). Call once, before any thread starts. Windows: no-op.
void RemoveArmedFilesOnSignals();

// File attribute bits as archives store them.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrSystem = 0x04;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrNormal = 0x80;

// Attribute bits of a path, or -1 when they cannot be read. POSIX reports the read-only bit
// (no write permission), the folder bit, and the hidden bit for names starting with '.'.
int64_t GetAttributes(const std::string& path);
// The same for an open file (its status by handle, the hidden bit from its path's last name).
int64_t GetAttributes(TFileStream& file);
// Sets the attribute bits; answers false on failure. POSIX honours the read-only bit only.
bool SetAttributes(const std::string& path, uint32_t attributes);
// The same through an open file, so that nothing is reached by name (POSIX: fchmod).
bool SetAttributes(TFileStream& file, uint32_t attributes);
// A file that will replace another (a rewritten archive, an output made beside its final name) is
// never more open than what it replaces: it is made 0600 (TFileStream::CreateUnique and the
// passing files), and SetReplacingAccess gives the finished file, just before it is renamed over
// `replaced`, its final access, by descriptor: the mode bits of the regular file `replaced` names
// (links followed) and its group where the caller may set it, or, when nothing is there yet, what
// any new file gets (0666 less the process's umask). When the group cannot be kept, the group's
// bits are left off, so that no other group gains access. False on failure. Windows: nothing to do,
// the new file takes its folder's inherited access; true.
bool SetReplacingAccess(TFileStream& file, const std::string& replaced);
// True for a file (POSIX: a regular file, so that a FIFO or device is never opened as one).
bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);
// Makes one folder; raises EInOutError naming the path and the reason on failure.
void MakeFolder(const std::string& path);
// Sets the last-write time of an open file from an MS-DOS date/time stamp in local time (time in
// the low 16 bits, date in the high 16 bits). Answers false on failure.
bool SetFileDate(TFileStream& file, uint32_t dos_stamp);
// The last-write time of a file as a local-time MS-DOS stamp, or 0 when it cannot be read.
uint32_t GetFileDate(const std::string& path);
uint32_t GetFileDate(TFileStream& file);
// Free bytes of a drive (0 the current drive, 1 drive A, ...), or -1 when they cannot be had.
// POSIX has no drives: drive 0 is the file system that holds near_path (its nearest existing
// folder), any other drive number answers -1.
double DiskFreeBytes(int drive, const std::string& near_path);
// A text for the last system error, for messages.
std::string LastErrorText();

// ---- What the launcher and its companion programs need ----

bool FolderExists(const std::string& path);

// The full file name of the module (shared library or program) that holds this code, as an
// archive-style path, or empty when it cannot be had. Windows: GetModuleFileNameA with a
// 261-character buffer (a name that fills it is cut short, hence unknown). POSIX: dladdr, made
// absolute from the current folder; links on the way are kept, not resolved.
std::string OwnModulePath();

// True when users other than the caller may be able to add, replace or remove files in a folder,
// or when that cannot be told. POSIX: the folder is owned by someone other than the caller and
// root, or others may write to it (a sticky bit does not help: anyone may still add a file under
// a name nobody has taken), or its group may write to it and that group may hold someone besides
// the owner. A group holds the owner alone when it is the owner's primary group and its member
// list names no one else: the user private group that a umask of 002 leaves writable. (Other
// users whose primary group it is are not looked for: only the administrator can make that so.)
// Windows answers false: access lists are the administrator's business there, and the launcher
// checks what it wrote instead.
bool FolderWritableByOthers(const std::string& path);

// True when two paths name one file as the file system compares names: exactly on POSIX, and on
// Windows without regard to letter case (ordinal, as the file system folds it).
bool SameFileName(const std::string& a, const std::string& b);

// Starts a program without waiting for it. The command line is the program's path, one blank and
// one argument; the path is not quoted. Windows hands the whole line to CreateProcessA (no
// application name, no inherited handles, normal priority, the caller's environment and current
// folder, shown normally). POSIX splits the line at its last blank into the program and its one
// argument (so blanks in the path are kept), marks the program executable (archives carry no
// execute bit) and starts it with posix_spawn. Answers false when the program did not start.
bool StartProcess(const std::string& command_line);

// Runs a program with the given arguments (argv[0] is its path) and waits for it. Answers its exit
// code, or -1 when it could not be started or did not end normally.
int RunProcessAndWait(const std::vector<std::string>& argv);

// The entries of a folder (not "." or ".."), each with the folder bit when it is one. Links are
// never followed: a symbolic link (a reparse point on Windows) is reported as a link, whatever it
// points at, and never as a folder. Answers false when the folder cannot be read.
struct FolderEntry {
  std::string name;
  bool is_folder = false;
  bool is_link = false;
};
bool ListFolder(const std::string& path, std::vector<FolderEntry>& entries);

// A tree read without following links: its top folder held (opened by path, the caller's
// choice), and every folder below reached from it one name at a time, a link anywhere on the way
// refused (ELOOP/ENOTDIR; Windows: a reparse point), so that what is read always lies in the tree
// however it changes meanwhile. TFileStream::OpenReadBelow opens a file of it. Hold answers null
// on failure; ListFolderBelow lists the folder `relative` (empty: the top) as ListFolder does.
std::unique_ptr<THeldFolder> HoldFolderToRead(const std::string& path);
bool ListFolderBelow(const THeldFolder& root, const std::string& relative,
                     std::vector<FolderEntry>& entries);

// Renames a file, replacing the destination if it exists.
bool RenameFile(const std::string& from, const std::string& to);

// The value of an environment variable, or empty when it is not set.
std::string EnvironmentValue(const char* name);

// A shared library loaded at run time (LoadLibraryA / dlopen); unloaded by the destructor.
class TSharedLibrary {
 public:
  static std::unique_ptr<TSharedLibrary> Load(const std::string& path);  // null on failure
  ~TSharedLibrary();
  TSharedLibrary(const TSharedLibrary&) = delete;
  TSharedLibrary& operator=(const TSharedLibrary&) = delete;
  // The address of an exported symbol, or null.
  void* Symbol(const char* name) const;

 private:
  explicit TSharedLibrary(void* handle) : handle_(handle) {}
  void* handle_;
};

// The hand-off key through which the launcher and its companion program exchange string values.
//
// Windows: a key under HKEY_CURRENT_USER, opened with full access and created when missing; the
// values are REG_SZ. POSIX stands in for the registry with a folder per key below a store root:
// $QOBZ_HANDOFF_DIR when set, otherwise $XDG_CONFIG_HOME/qobz-handoff, otherwise
// $HOME/.config/qobz-handoff. The key path's backslashes become folders; each value is a file
// named after the value that holds its text. A write goes to a fresh temporary file of its own
// (created exclusively under a random name) that is then renamed over the value, so a reader sees
// the old text or the new one, never a mix. The store trusts only folders that the caller owns and
// that no one else may write to (as ssh does with its keys): a store folder owned by another user,
// writable by group or others, or (below the root) a link, refuses the key. A value that is not a
// plain file (a link, a device, a pipe) reads as missing.
//
// Values are at most kHandOffValueLimit bytes, on every system: a longer one is neither written
// nor read (a value pointed at an endless file must not grow the reader without bound).
constexpr size_t kHandOffValueLimit = 1 << 20;
class THandOffKey {
 public:
  virtual ~THandOffKey() = default;  // closes the key
  // False when the value is longer than kHandOffValueLimit or cannot be stored.
  virtual bool WriteString(const std::string& name, const std::string& value) = 0;
  // False when the value does not exist, is not a string or is longer than kHandOffValueLimit.
  virtual bool ReadString(const std::string& name, std::string& value) = 0;
  virtual bool DeleteValue(const std::string& name) = 0;
};
// Opens (creating if needed) a key of the current user's hand-off store; null when that fails,
// with the reason in *why when given.
std::unique_ptr<THandOffKey> OpenHandOffKey(const std::string& key, std::string* why = nullptr);
// POSIX: the store root described above (empty on Windows).
std::string HandOffStoreRoot();

// The identity of what a path names (links followed): the same device and file number mean the
// same file or folder, whatever the path. Answers false when the path cannot be examined.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  bool operator==(const FileIdentity&) const = default;
  bool operator<(const FileIdentity& o) const {
    return device != o.device ? device < o.device : file < o.file;
  }
};
bool GetFileIdentity(const std::string& path, FileIdentity& identity);

// ---- The launcher's module folder: checked once, then used only through what was checked ----

// A folder found trusted and held open from then on, so that what is checked is what is used.
// POSIX: the folder and every folder above it up to the root, each opened from the one before
// without following a link, belongs to root or the caller and may be written by no one else (the
// rule of FolderWritableByOthers, as ssh's strict modes have it). One exception holds for the
// folders above: a sticky one (/tmp, say) that belongs to root or the caller, where no one may
// rename or remove what belongs to another, so the caller's folder below it stays the caller's.
// The folder itself gets no such exception. Windows: the folder exists (see
// FolderWritableByOthers).
class TTrustedFolder {
 public:
  // Null when the folder or one above it is not trusted or cannot be opened, or when the path is
  // not absolute or has a ".." segment.
  static std::unique_ptr<TTrustedFolder> Open(const std::string& path);
  ~TTrustedFolder();
  TTrustedFolder(const TTrustedFolder&) = delete;
  TTrustedFolder& operator=(const TTrustedFolder&) = delete;
  // An archive-style path ending in a separator that names the held folder whatever becomes of
  // the path it was opened by: POSIX, the descriptor's name under /proc/self/fd (checked to be
  // the held folder itself); Windows, that path.
  const std::string& Path() const { return path_; }
  // Starts the program `name` of the held folder with one argument and does not wait for it. POSIX:
  // the file is opened below the held descriptor without following a link, must be a regular file
  // of the caller's with no other name that no one else may write, is made executable through that
  // descriptor and is started from that very descriptor (fexecve), as the opened path plus
  // `name`. Windows: the file is opened without delete or write sharing and held open until
  // StartProcess has started the opened path plus `name`, a blank and the argument. False when
  // the program did not start.
  bool StartProgram(const std::string& name, const std::string& argument);

 private:
  TTrustedFolder(intptr_t handle, std::string opened, std::string path)
      : handle_(handle), opened_(std::move(opened)), path_(std::move(path)) {}
  intptr_t handle_;
  std::string opened_;  // the path the folder was opened by, ending in a separator
  std::string path_;
};

}  // namespace qobz::platform
