// POSIX implementation of the platform layer and of TFileStream.
#if !defined(_WIN32)

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

extern char** environ;

#include "platform/platform.h"
#include "qobz/errors.h"
#include "qobz/stream.h"

namespace qobz {

namespace {
std::string Reason(int err) {
  return strerror(err);
}
}  // namespace

std::unique_ptr<TFileStream> TFileStream::OpenRead(const std::string& path) {
  std::string native = platform::NativePath(path);
  int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EFOpenError("Cannot open file \"" + path + "\". " + Reason(errno));
  return std::unique_ptr<TFileStream>(new TFileStream(fd, path));
}

std::unique_ptr<TFileStream> TFileStream::Create(const std::string& path) {
  std::string native = platform::NativePath(path);
  // Like the Windows call with normal attributes, refuse to replace a read-only file, even as a
  // user (root) whom the kernel would let write it.
  struct stat st;
  if (::stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0)
    throw EFCreateError("Cannot create file \"" + path + "\". " + Reason(EACCES));
  int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw EFCreateError("Cannot create file \"" + path + "\". " + Reason(errno));
  return std::unique_ptr<TFileStream>(new TFileStream(fd, path));
}

namespace {

[[noreturn]] void ThrowCreate(const std::string& path, int err) {
  throw EFCreateError("Cannot create file \"" + path + "\". " + Reason(err));
}

// A folder descriptor closed on every way out.
struct TFolderFd {
  int fd = -1;
  ~TFolderFd() {
    if (fd >= 0 && fd != AT_FDCWD) ::close(fd);
  }
};

// Creates `leaf` in the folder `dir` for an entry's data and answers its descriptor. Nothing but
// a regular file with no other names is ever opened: anything else found there is unlinked
// first. Each round either creates the file exclusively or deals with what is in the way;
// a few rounds allow for another process changing the folder at the same time.
int CreateEntryAt(int dir, const char* leaf, const std::string& path, bool only_new = false,
                  mode_t mode = 0666) {
  constexpr int kRounds = 8;
  for (int round = 0; round < kRounds; ++round) {
    int fd = ::openat(dir, leaf, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno != EEXIST) ThrowCreate(path, errno);
    if (only_new) return -1;
    struct stat st;
    if (::fstatat(dir, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      ThrowCreate(path, errno);
    }
    if (S_ISDIR(st.st_mode)) ThrowCreate(path, EISDIR);
    if (S_ISREG(st.st_mode)) {
      // Like the Windows call with normal attributes, refuse to replace a read-only file.
      if ((st.st_mode & 0222) == 0) ThrowCreate(path, EACCES);
      if (st.st_nlink == 1) {
        // O_NONBLOCK: should a FIFO take the file's place meanwhile, opening it cannot hang.
        fd = ::openat(dir, leaf, O_RDWR | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
          if (errno == ENOENT || errno == ELOOP) continue;
          ThrowCreate(path, errno);
        }
        struct stat opened;
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_nlink == 1) {
          ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
          return fd;
        }
        ::close(fd);
      }
    }
    if (::unlinkat(dir, leaf, 0) != 0 && errno != ENOENT) ThrowCreate(path, errno);
  }
  ThrowCreate(path, EAGAIN);
}

}  // namespace

std::unique_ptr<TFileStream> TFileStream::CreateEntry(const std::string& path) {
  std::string native = platform::NativePath(path);
  int fd = CreateEntryAt(AT_FDCWD, native.c_str(), path);
  return std::unique_ptr<TFileStream>(new TFileStream(fd, path));
}

namespace {

// Opens the folder holding the last name of `relative` (an archive-style path below the folder
// `root`), one name at a time from `root`, never following a link, and answers its descriptor (a
// duplicate of `root` for a name with no folders), or -1 with errno set. `leaf` is the last name.
int OpenParentBelow(int root, const std::string& relative, std::string& leaf) {
  int dir = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
  size_t start = 0;
  for (;;) {
    const size_t end = relative.find_first_of("\\/", start);
    leaf.assign(relative, start, end == std::string::npos ? std::string::npos : end - start);
    // The system takes names up to a NUL: one inside a name would make it another name.
    if (leaf.empty() || leaf == "." || leaf == ".." || leaf.find('\0') != std::string::npos) {
      if (dir >= 0) ::close(dir);
      errno = EINVAL;
      return -1;
    }
    if (end == std::string::npos || dir < 0) return dir;
    const int next = ::openat(dir, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int err = errno;
    ::close(dir);
    errno = err;
    dir = next;
    start = end + 1;
  }
}

// Opens `relative` below the folder `root` as OpenParentBelow walks it, its last name with `flags`
// and never through a link (an empty `relative`: `root` itself, again). -1 with errno on failure.
int OpenBelow(int root, const std::string& relative, int flags) {
  if (relative.empty()) return ::fcntl(root, F_DUPFD_CLOEXEC, 0);
  std::string leaf;
  TFolderFd dir{OpenParentBelow(root, relative, leaf)};
  return dir.fd < 0 ? -1 : ::openat(dir.fd, leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

std::unique_ptr<TFileStream> TFileStream::OpenReadBelow(const platform::THeldFolder& root,
                                                        const std::string& relative) {
  const std::string path = root.Path() + "\\" + relative;
  // O_NONBLOCK: a FIFO found at the name cannot make the open hang; it is refused below.
  const int fd = relative.empty()
                     ? -1
                     : OpenBelow(static_cast<int>(root.Handle()), relative, O_RDONLY | O_NONBLOCK);
  if (fd < 0) throw EFOpenError("Cannot open file \"" + path + "\". " + Reason(errno));
  std::unique_ptr<TFileStream> stream(new TFileStream(fd, path));
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    throw EFOpenError("Cannot open file \"" + path + "\". It is not a regular file");
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return stream;
}

TFolderWalk::~TFolderWalk() {
  Reset();
}

void TFolderWalk::Reset() {
  for (const auto& folder : chain_) ::close(static_cast<int>(folder.second));
  chain_.clear();
  base_.clear();
}

// The walk of CreateEntryBelow and CreatePassingBelow: the folders of `relative`, each opened from
// the one before without following a link, then the file made in the last one, which the
// stream keeps.
std::unique_ptr<TFileStream> TFileStream::CreateBelowHeld(const std::string& folder,
                                                          const std::string& relative,
                                                          bool make_folders, TFolderWalk* walk,
                                                          TMake make) {
  std::string path = folder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  path += relative;
  TFolderWalk local;
  TFolderWalk& w = walk ? *walk : local;
  if (w.chain_.empty() || w.base_ != folder) {
    w.Reset();
    // The target folder itself is the caller's choice and may be reached through a link.
    std::string base = folder.empty() ? std::string(".") : platform::NativePath(folder);
    const int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) ThrowCreate(path, errno);
    w.chain_.reserve(TFolderWalk::kHeld);
    w.chain_.emplace_back(std::string(), fd);
    w.base_ = folder;
  }
  // Each folder of the path, opened from the one before without following a link, unless the walk
  // holds it from an earlier path.
  int dir = static_cast<int>(w.chain_[0].second);
  size_t depth = 1;      // folders of the path matched on the walk's chain so far, the target first
  bool on_chain = true;  // every folder so far is on the chain
  TFolderFd deeper;      // a folder below what the walk keeps
  size_t start = 0;
  std::string part;
  for (;;) {
    size_t end = relative.find_first_of("\\/", start);
    if (end == std::string::npos) break;
    part.assign(relative, start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    // The system takes names up to a NUL: one inside a name would make it another name.
    if (part == ".." || part.find('\0') != std::string::npos) ThrowCreate(path, EINVAL);
    if (on_chain && depth < w.chain_.size() && w.chain_[depth].first == part) {
      dir = static_cast<int>(w.chain_[depth++].second);
      continue;
    }
    if (on_chain)
      while (w.chain_.size() > depth) {
        ::close(static_cast<int>(w.chain_.back().second));
        w.chain_.pop_back();
      }
    int next = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const std::string folder_path = path.substr(0, path.size() - relative.size() + end);
    if (next < 0 && errno == ENOENT && make_folders) {
      if (::mkdirat(dir, part.c_str(), 0777) != 0 && errno != EEXIST)
        throw EInOutError("Cannot make folder \"" + folder_path + "\". " + Reason(errno));
      next = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      const int err = errno;
      struct stat st;
      if (::fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        throw EFCreateError("Cannot create file \"" + path + "\". \"" + folder_path +
                            "\" is a symbolic link, not followed");
      // Something other than a folder holds the folder's name: the folder cannot be made.
      if (make_folders && err == ENOTDIR)
        throw EInOutError("Cannot make folder \"" + folder_path + "\". " + Reason(err));
      ThrowCreate(path, err);
    }
    if (on_chain && w.chain_.size() < TFolderWalk::kHeld) {
      w.chain_.emplace_back(part, next);
      ++depth;
    } else {
      on_chain = false;
      if (deeper.fd >= 0) ::close(deeper.fd);
      deeper.fd = next;
    }
    dir = next;
  }
  part.assign(relative, start, std::string::npos);
  if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos)
    ThrowCreate(path, EINVAL);
  std::string name = part;
  int fd;
  if (make == TMake::Passing) {
    // A name taken (by anything: a link, a planted file) is never opened: another is drawn.
    fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      if (!platform::RandomName(".qobz-", name)) ThrowCreate(path, errno ? errno : EIO);
      fd = ::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0 && errno != EEXIST) ThrowCreate(path, errno);
    }
    if (fd < 0) ThrowCreate(path, EEXIST);
  } else {
    fd = CreateEntryAt(dir, part.c_str(), path, make == TMake::OnlyNew);
    if (fd < 0) return nullptr;
  }
  std::unique_ptr<TFileStream> stream(new TFileStream(fd, path));
  const int held = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (held < 0) {
    const int err = errno;
    ::unlinkat(dir, name.c_str(), 0);
    ThrowCreate(path, err);
  }
  stream->HoldFolder(std::make_unique<platform::THeldFolder>(held, std::string()), name);
  if (make == TMake::Passing) stream->final_name_ = part;
  return stream;
}

void TFileStream::HoldFolder(std::shared_ptr<platform::THeldFolder> folder, std::string name) {
  folder_ = std::move(folder);
  name_ = std::move(name);
  removal_slot_ = platform::ArmRemoval(folder_->Handle(), name_);
}

void TFileStream::Keep() {
  if (removal_slot_ >= 0 && !platform::DisarmRemoval(removal_slot_) && folder_)
    folder_->Release();  // a signal's removal uses it: the process is ending
  removal_slot_ = -1;
}

bool TFileStream::Commit() {
  if (!folder_ || final_name_.empty()) return false;
  if (!folder_->Rename(name_, final_name_)) return false;
  Keep();
  name_ = std::move(final_name_);
  final_name_.clear();
  return true;
}

bool TFileStream::Remove() {
  Close();
  Keep();
  if (!folder_) return ::unlink(platform::NativePath(path_).c_str()) == 0;
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
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  position_ = -1;
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || handle_ < 0) return 0;
  int32_t done = 0;
  while (done < count) {
    ssize_t n = ::read(static_cast<int>(handle_), static_cast<char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<int32_t>(n);
  }
  if (position_ >= 0) position_ += done;
  return done;
}

void TFileStream::WriteBuffer(const void* buffer, int32_t count) {
  int32_t done = 0;
  while (done < count) {
    ssize_t n = handle_ < 0 ? -1
                            : ::write(static_cast<int>(handle_),
                                      static_cast<const char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : ENOSPC;
      position_ = -1;
      throw EWriteError("Stream write error on \"" + path_ + "\". " + Reason(err));
    }
    done += static_cast<int32_t>(n);
  }
  if (position_ >= 0) position_ += done;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
  int whence = origin == SeekOrigin::Begin ? SEEK_SET
               : origin == SeekOrigin::End ? SEEK_END
                                           : SEEK_CUR;
  // Where the position is known, asking for it or moving to it costs no system call.
  if (position_ >= 0 &&
      ((whence == SEEK_CUR && offset == 0) || (whence == SEEK_SET && offset == position_)))
    return position_;
  off_t r = handle_ < 0 ? -1 : ::lseek(static_cast<int>(handle_), offset, whence);
  position_ = r < 0 ? -1 : static_cast<int64_t>(r);
  return position_;
}

int64_t TFileStream::Size() {
  struct stat st;
  if (handle_ < 0 || ::fstat(static_cast<int>(handle_), &st) != 0) return -1;
  return st.st_size;
}

namespace platform {

bool RandomBytes(void* buffer, size_t size) {
  auto* at = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::getrandom(at, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

THeldFolder::~THeldFolder() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool THeldFolder::Rename(const std::string& from, const std::string& to) const {
  const int fd = static_cast<int>(handle_);
  return ::renameat(fd, from.c_str(), fd, to.c_str()) == 0;
}

bool THeldFolder::Remove(const std::string& name) const {
  return ::unlinkat(static_cast<int>(handle_), name.c_str(), 0) == 0;
}

namespace {

// The files a signal removes: fixed slots that a handler can read without a lock. A slot is
// free (0), being filled or emptied by its owner (1), armed (2), or taken by the handler (3).
struct TRemovalSlot {
  std::atomic<int> state{0};
  int folder = -1;
  char name[NAME_MAX + 1] = {};
};
constexpr int kRemovalSlots = 512;
TRemovalSlot g_removals[kRemovalSlots];

void RemoveArmedAndEnd(int signal) {
  const int saved = errno;
  for (TRemovalSlot& slot : g_removals) {
    int armed = 2;
    if (slot.state.compare_exchange_strong(armed, 3)) ::unlinkat(slot.folder, slot.name, 0);
  }
  errno = saved;
  // The signal is blocked while this runs; with its default action back, it ends the process as
  // soon as the handler returns.
  struct sigaction plain = {};
  plain.sa_handler = SIG_DFL;
  ::sigaction(signal, &plain, nullptr);
  ::raise(signal);
}

}  // namespace

int ArmRemoval(intptr_t folder, const std::string& name) {
  if (name.size() > NAME_MAX || name.find('\0') != std::string::npos) return -1;
  for (int i = 0; i < kRemovalSlots; ++i) {
    TRemovalSlot& slot = g_removals[i];
    int free = 0;
    if (!slot.state.compare_exchange_strong(free, 1)) continue;
    slot.folder = static_cast<int>(folder);
    std::memcpy(slot.name, name.c_str(), name.size() + 1);
    slot.state.store(2);
    return i;
  }
  return -1;
}

bool DisarmRemoval(int slot) {
  int armed = 2;
  if (!g_removals[slot].state.compare_exchange_strong(armed, 0)) return false;
  return true;
}

void RemoveArmedFilesOnSignals() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action = {};
    action.sa_handler = RemoveArmedAndEnd;
    sigemptyset(&action.sa_mask);
    // The other signals wait while one removes the files.
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaddset(&action.sa_mask, SIGHUP);
    ::sigaction(signal, &action, nullptr);
  }
}

void YieldProcessor() {}

int OpenFileLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 20;
  return static_cast<int>(std::min<rlim_t>(std::max<rlim_t>(limit.rlim_cur, 1), 1 << 20));
}

int ProcessorCount() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

void SleepMs(uint32_t milliseconds) {
  struct timespec ts = {static_cast<time_t>(milliseconds / 1000),
                        static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::string NativePath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

bool HasDrivePrefix(const std::string&) {
  return false;
}

size_t RootLength(const std::string& path) {
  size_t n = 0;
  while (n < path.size() && (path[n] == '/' || path[n] == '\\')) ++n;
  return n;
}

namespace {

// The attribute bits of a file of that status whose host path is `native`.
int64_t AttributesOf(const struct stat& st, const std::string& native) {
  uint32_t attr = 0;
  if (S_ISDIR(st.st_mode)) attr |= kAttrDirectory;
  if ((st.st_mode & 0222) == 0) attr |= kAttrReadOnly;
  size_t slash = native.find_last_of('/');
  std::string base = slash == std::string::npos ? native : native.substr(slash + 1);
  if (base.size() > 1 && base[0] == '.' && base != "..") attr |= kAttrHidden;
  if (attr == 0) attr = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
  return attr;
}

}  // namespace

int64_t GetAttributes(const std::string& path) {
  const std::string native = NativePath(path);
  struct stat st;
  return ::stat(native.c_str(), &st) == 0 ? AttributesOf(st, native) : -1;
}

int64_t GetAttributes(TFileStream& file) {
  struct stat st;
  return ::fstat(static_cast<int>(file.Handle()), &st) == 0
             ? AttributesOf(st, NativePath(file.Path()))
             : -1;
}

namespace {

// The permission bits a file of mode `current` gets for FAT attributes: the read-only bit takes
// every write permission away, and its absence gives the owner's back to a file that had none,
// as clearing the bit does on Windows.
mode_t AttributeMode(mode_t current, uint32_t attributes) {
  mode_t mode = current & 07777;
  if (attributes & kAttrReadOnly) {
    mode &= ~static_cast<mode_t>(0222);
  } else if ((mode & 0222) == 0) {
    mode |= 0200;
  }
  return mode;
}

}  // namespace

// A file that has the mode already needs no call (usually so for a new file: one per extracted
// file saved).
bool SetAttributes(const std::string& path, uint32_t attributes) {
  std::string native = NativePath(path);
  struct stat st;
  if (::stat(native.c_str(), &st) != 0) return false;
  const mode_t mode = AttributeMode(st.st_mode, attributes);
  return mode == (st.st_mode & 07777) || ::chmod(native.c_str(), mode) == 0;
}

namespace {

// The process's file creation mask, read once. /proc tells it without touching it; elsewhere it is
// read by setting it, and for that instant the most private mask is in force, so that a file
// another thread creates meanwhile is never more open than intended.
mode_t CreationMask() {
  static const mode_t mask = [] {
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
      char line[256];
      unsigned value = 0;
      bool found = false;
      while (!found && std::fgets(line, sizeof line, status))
        found = std::sscanf(line, "Umask: %o", &value) == 1;
      std::fclose(status);
      if (found) return static_cast<mode_t>(value & 0777);
    }
    const mode_t old = ::umask(077);
    ::umask(old);
    return old;
  }();
  return mask;
}

}  // namespace

bool SetAttributes(TFileStream& file, uint32_t attributes) {
  struct stat st;
  const int fd = static_cast<int>(file.Handle());
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  // A file under a passing name is its owner's alone until now: it gets a new file's mode.
  if (file.Passing()) st.st_mode = (st.st_mode & ~07777) | (0666 & ~CreationMask());
  const mode_t mode = AttributeMode(st.st_mode, attributes);
  return mode == (st.st_mode & 07777) || ::fchmod(fd, mode) == 0;
}

bool SetReplacingAccess(TFileStream& file, const std::string& replaced) {
  const int fd = static_cast<int>(file.Handle());
  struct stat now;
  if (fd < 0 || ::fstat(fd, &now) != 0) return false;
  struct stat old;
  mode_t mode = 0666 & ~CreationMask();
  if (!replaced.empty() && ::stat(NativePath(replaced).c_str(), &old) == 0 &&
      S_ISREG(old.st_mode)) {
    // Set-id bits are not carried over: a rewritten file is data, never a program to run as
    // someone.
    mode = old.st_mode & 0777;
    if (now.st_gid != old.st_gid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
      if (errno != EPERM) return false;
      mode &= ~static_cast<mode_t>(S_IRWXG);
    }
  }
  return ::fchmod(fd, mode) == 0;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DeleteFile(const std::string& path) {
  return ::unlink(NativePath(path).c_str()) == 0;
}

void MakeFolder(const std::string& path) {
  if (::mkdir(NativePath(path).c_str(), 0777) != 0)
    throw EInOutError("Cannot make folder \"" + path + "\". " + Reason(errno));
}

bool SetFileDate(TFileStream& file, uint32_t dos_stamp) {
  struct tm t = {};
  t.tm_sec = static_cast<int>((dos_stamp & 0x1F) * 2);
  t.tm_min = static_cast<int>((dos_stamp >> 5) & 0x3F);
  t.tm_hour = static_cast<int>((dos_stamp >> 11) & 0x1F);
  t.tm_mday = static_cast<int>((dos_stamp >> 16) & 0x1F);
  t.tm_mon = static_cast<int>((dos_stamp >> 21) & 0x0F) - 1;
  t.tm_year = static_cast<int>((dos_stamp >> 25) & 0x7F) + 80;
  t.tm_isdst = -1;
  // Stamps that name no day (day 0, month 0 or 13..15, hour 24..31) are refused as Windows does.
  if (t.tm_mday < 1 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_hour > 23 || t.tm_min > 59 ||
      t.tm_sec > 59)
    return false;
  // mktime looks at the zone file again on every call (a stat each time): the files of an archive
  // often share their stamp, so the last one is kept per thread.
  thread_local uint32_t last_stamp = 0;
  thread_local time_t last_when = static_cast<time_t>(-1);
  time_t when = dos_stamp == last_stamp ? last_when : mktime(&t);
  if (when == static_cast<time_t>(-1)) return false;
  last_stamp = dos_stamp;
  last_when = when;
  struct timespec times[2];
  times[0].tv_sec = when;  // access time follows the write time
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return file.Handle() >= 0 && ::futimens(static_cast<int>(file.Handle()), times) == 0;
}

namespace {

// A modification time as a local-time MS-DOS stamp, or 0 outside what the stamp can hold.
uint32_t DosStamp(time_t when) {
  struct tm t;
  if (!localtime_r(&when, &t) || t.tm_year < 80 || t.tm_year > 207) return 0;
  return (static_cast<uint32_t>(t.tm_year - 80) << 25) |
         (static_cast<uint32_t>(t.tm_mon + 1) << 21) | (static_cast<uint32_t>(t.tm_mday) << 16) |
         (static_cast<uint32_t>(t.tm_hour) << 11) | (static_cast<uint32_t>(t.tm_min) << 5) |
         (static_cast<uint32_t>(t.tm_sec / 2));
}

}  // namespace

uint32_t GetFileDate(const std::string& path) {
  struct stat st;
  return ::stat(NativePath(path).c_str(), &st) == 0 ? DosStamp(st.st_mtime) : 0;
}

uint32_t GetFileDate(TFileStream& file) {
  struct stat st;
  return ::fstat(static_cast<int>(file.Handle()), &st) == 0 ? DosStamp(st.st_mtime) : 0;
}

double DiskFreeBytes(int drive, const std::string& near_path) {
  if (drive != 0) return -1;
  std::string folder = NativePath(near_path);
  for (;;) {
    size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) {
      folder = ".";
      break;
    }
    folder.resize(slash == 0 ? 1 : slash);
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) break;
    if (slash == 0) break;
  }
  struct statvfs vfs;
  if (::statvfs(folder.c_str(), &vfs) != 0) return -1;
  return static_cast<double>(vfs.f_bavail) * static_cast<double>(vfs.f_frsize);
}

std::string LastErrorText() {
  return Reason(errno);
}

bool FolderExists(const std::string& path) {
  struct stat st;
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

std::string ArchiveStylePath(const std::string& native) {
  std::string out = native;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

// Starts argv[0] with the given arguments and the caller's environment; answers the child's id or
// -1. glibc's posix_spawn reports a program that cannot be executed as a failure of the call.
pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

// Archives carry no execute bit: a program unpacked from one gets it here. Answers false when
// the path is not a regular file.
bool MakeExecutable(const std::string& native) {
  struct stat st;
  if (::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if ((st.st_mode & 0111) != 0111) ::chmod(native.c_str(), (st.st_mode & 07777) | 0111);
  return true;
}

}  // namespace

std::string OwnModulePath() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) == 0 || !info.dli_fname ||
      !*info.dli_fname)
    return {};
  // The path the module was loaded by, links and all: whoever checks the folder should see every
  // link on the way rather than where they led at one moment.
  std::string path = info.dli_fname;
  if (path[0] != '/') {
    char current[PATH_MAX];
    if (!::getcwd(current, sizeof current)) return {};
    path = std::string(current) + "/" + path;
  }
  return ArchiveStylePath(path);
}

bool SameFileName(const std::string& a, const std::string& b) {
  return a == b;
}

bool StartProcess(const std::string& command_line) {
  size_t blank = command_line.find_last_of(' ');
  if (blank == std::string::npos || blank == 0) return false;
  std::string program = NativePath(command_line.substr(0, blank));
  if (!MakeExecutable(program)) return false;
  // The launcher does not wait for the programs it starts; those of earlier calls that have ended
  // by now are reaped here, so a long-running host does not collect zombies.
  static std::vector<pid_t> started;
  for (size_t i = 0; i < started.size();) {
    int status;
    if (::waitpid(started[i], &status, WNOHANG) != 0) {
      started.erase(started.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  pid_t pid = Spawn({program, command_line.substr(blank + 1)});
  if (pid < 0) return false;
  started.push_back(pid);
  return true;
}

int RunProcessAndWait(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<std::string> args = argv;
  args[0] = NativePath(args[0]);
  MakeExecutable(args[0]);
  pid_t pid = Spawn(args);
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

// The names in the open folder `fd`, which the listing takes over and closes.
bool ListOpenFolder(int fd, std::vector<FolderEntry>& entries) {
  entries.clear();
  if (fd < 0) return false;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return false;
  }
  while (struct dirent* e = ::readdir(dir)) {
    FolderEntry entry;
    entry.name = e->d_name;
    if (entry.name == "." || entry.name == "..") continue;
    struct stat st;
    if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.is_link = S_ISLNK(st.st_mode);
      entry.is_folder = S_ISDIR(st.st_mode);
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  return true;
}

// A folder opened by its path, the caller's choice (links on the way followed): the one path
// lookup of a walk, for the folder that everything below is then reached from.
int OpenFolderByPath(const std::string& path) {
  return ::open(path.empty() ? "." : NativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

bool ListFolder(const std::string& path, std::vector<FolderEntry>& entries) {
  return ListOpenFolder(OpenFolderByPath(path), entries);
}

std::unique_ptr<THeldFolder> HoldFolderToRead(const std::string& path) {
  const int fd = OpenFolderByPath(path);
  return fd < 0 ? nullptr : std::make_unique<THeldFolder>(fd, path);
}

bool ListFolderBelow(const THeldFolder& root, const std::string& relative,
                     std::vector<FolderEntry>& entries) {
  return ListOpenFolder(
      OpenBelow(static_cast<int>(root.Handle()), relative, O_RDONLY | O_DIRECTORY), entries);
}

bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

std::string EnvironmentValue(const char* name) {
  const char* value = ::getenv(name);
  return value ? std::string(value) : std::string();
}

namespace {

// Whether the store may trust a folder: the caller's own, and no one else may write to it. A link
// is judged by what it points at only where `follow_link` allows it (the store's root).
bool TrustedStoreFolder(const std::string& folder, bool follow_link, std::string* why) {
  struct stat st;
  int r = follow_link ? ::stat(folder.c_str(), &st) : ::lstat(folder.c_str(), &st);
  std::string problem;
  if (r != 0)
    problem = Reason(errno);
  else if (!S_ISDIR(st.st_mode))
    problem = S_ISLNK(st.st_mode) ? "is a link" : "is not a folder";
  else if (st.st_uid != ::geteuid())
    problem = "is owned by another user";
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    problem = "may be written by other users";
  else
    return true;
  if (why) *why = "hand-off store folder \"" + folder + "\" " + problem;
  return false;
}

// One key of the hand-off store: a folder holding one file per value.
class TFolderKey : public THandOffKey {
 public:
  explicit TFolderKey(std::string folder) : folder_(std::move(folder)) {}

  bool WriteString(const std::string& name, const std::string& value) override {
    if (!ValidName(name) || value.size() > kHandOffValueLimit) return false;
    // A name of its own, created exclusively: nothing planted under a guessable name is followed.
    // Value names never start with '.', so a temporary file never shadows a value.
    std::string temp = folder_ + "/." + name + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (done < value.size()) {
      ssize_t n = ::write(fd, value.data() + done, value.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), (folder_ + "/" + name).c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
  }

  bool ReadString(const std::string& name, std::string& value) override {
    if (!ValidName(name)) return false;
    // Not through a link, and without waiting on a pipe; only a plain file is a value.
    int fd = ::open((folder_ + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    std::string text;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buffer[4096];
    while (ok) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      text.append(buffer, static_cast<size_t>(n));
      ok = text.size() <= kHandOffValueLimit;
    }
    ::close(fd);
    if (ok) value = std::move(text);
    return ok;
  }

  bool DeleteValue(const std::string& name) override {
    return ValidName(name) && ::unlink((folder_ + "/" + name).c_str()) == 0;
  }

 private:
  // Value names become file names: refuse those that would leave the key's folder.
  static bool ValidName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name[0] != '.' &&
           name.find('/') == std::string::npos && name.find('\\') == std::string::npos;
  }
  std::string folder_;
};

bool MakeFoldersDown(const std::string& folder) {
  if (folder.empty()) return false;
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFoldersDown(folder.substr(0, slash)))
    return false;
  return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::string HandOffStoreRoot() {
  std::string root = EnvironmentValue("QOBZ_HANDOFF_DIR");
  if (!root.empty()) return root;
  std::string config = EnvironmentValue("XDG_CONFIG_HOME");
  if (config.empty()) {
    std::string home = EnvironmentValue("HOME");
    if (home.empty()) return {};
    config = home + "/.config";
  }
  return config + "/qobz-handoff";
}

std::unique_ptr<THandOffKey> OpenHandOffKey(const std::string& key, std::string* why) {
  std::string root = HandOffStoreRoot();
  if (root.empty()) {
    if (why) *why = "no hand-off store: neither QOBZ_HANDOFF_DIR, XDG_CONFIG_HOME nor HOME is set";
    return nullptr;
  }
  // The key path's backslashes become folders; "." and ".." and slashes would leave the store.
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = 0; i <= key.size(); ++i) {
    bool end = i == key.size() || key[i] == '\\';
    if ((end && (part == "." || part == "..")) || (!end && key[i] == '/')) {
      if (why) *why = "key \"" + key + "\" would leave the hand-off store";
      return nullptr;
    }
    if (!end) {
      part += key[i];
    } else if (!part.empty()) {
      parts.push_back(part);
      part.clear();
    }
  }
  if (!MakeFoldersDown(root)) {
    if (why) *why = "cannot make hand-off store folder \"" + root + "\": " + Reason(errno);
    return nullptr;
  }
  // The root may be reached through a link (a configuration folder elsewhere); below it, every
  // folder is the store's own.
  if (!TrustedStoreFolder(root, true, why)) return nullptr;
  std::string folder = root;
  for (const std::string& p : parts) {
    folder += "/" + p;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      if (why) *why = "cannot make hand-off store folder \"" + folder + "\": " + Reason(errno);
      return nullptr;
    }
    if (!TrustedStoreFolder(folder, false, why)) return nullptr;
  }
  return std::make_unique<TFolderKey>(folder);
}

bool GetFileIdentity(const std::string& path, FileIdentity& identity) {
  struct stat st;
  if (::stat(NativePath(path).c_str(), &st) != 0) return false;
  identity.device = static_cast<uint64_t>(st.st_dev);
  identity.file = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace platform

std::unique_ptr<TFileStream> TFileStream::CreateUnique(const std::string& folder,
                                                       const std::string& prefix) {
  constexpr int kAttempts = 100;
  std::string base = folder.empty() ? std::string() : platform::NativePath(folder);
  if (!base.empty() && base.back() != '/') base += '/';
  auto fail = [&folder](int err) {
    return EFCreateError("Cannot create a new file in \"" + (folder.empty() ? "." : folder) +
                         "\". " + Reason(err));
  };
  // The folder is the caller's choice (links to it are followed); the file is made in the folder
  // opened, and a signal removes it there.
  const int dir = ::open(base.empty() ? "." : base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) throw fail(errno);
  auto held = std::make_unique<platform::THeldFolder>(dir, base);
  int err = EEXIST;
  for (int attempt = 0; attempt < kAttempts && err == EEXIST; ++attempt) {
    std::string name;
    // No entropy, no name: a guessable one is worse than none.
    if (!platform::RandomName(prefix, name)) throw fail(errno ? errno : EIO);
    // O_EXCL with O_CREAT fails on any existing name, a link included, without following it.
    int fd = ::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      std::unique_ptr<TFileStream> stream(new TFileStream(fd, base + name));
      stream->HoldFolder(std::move(held), name);
      return stream;
    }
    err = errno;
  }
  throw fail(err);
}

}  // namespace qobz

#endif  // !_WIN32
