// Who may write to a folder, on POSIX systems. Kept apart from the other platform routines
// because it asks the user database (through NSS): a program that never asks, linked statically,
// does not pull that in.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/platform.h"

namespace qobz::platform {

namespace {

// Runs a reentrant user-database call (getpwuid_r, getgrgid_r) for `id` into `entry` and
// `buffer`, which grows while the entry does not fit. The entry points into the buffer, so it
// lives as long as the buffer. False when there is no such entry or the call fails.
template <typename Id, typename Entry>
bool LookUp(int (*call)(Id, Entry*, char*, size_t, Entry**), Id id, Entry& entry,
            std::vector<char>& buffer) {
  buffer.resize(16384);
  for (;;) {
    Entry* found = nullptr;
    int err = call(id, &entry, buffer.data(), buffer.size(), &found);
    if (err != ERANGE) return err == 0 && found != nullptr;
    if (buffer.size() >= (size_t{1} << 24)) return false;
    buffer.resize(buffer.size() * 2);
  }
}

// Whether a group holds no one but `owner`: the owner's primary group, naming no other member.
bool GroupHoldsOwnerAlone(uid_t owner, gid_t group) {
  struct passwd user;
  std::vector<char> user_buffer;
  if (!LookUp(::getpwuid_r, owner, user, user_buffer) || user.pw_gid != group) return false;
  struct group entry;
  std::vector<char> group_buffer;
  if (!LookUp(::getgrgid_r, group, entry, group_buffer)) return false;
  for (char** member = entry.gr_mem; *member; ++member)
    if (strcmp(*member, user.pw_name) != 0) return false;
  return true;
}

// Whether users other than the caller may change what `st` describes. `sticky_ok`: a sticky folder
// counts as the owner's alone, since no one may rename or remove what belongs to another there.
bool WritableByOthers(const struct stat& st, bool sticky_ok) {
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return true;
  if ((st.st_mode & (S_IWOTH | S_IWGRP)) == 0) return false;
  if (sticky_ok && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) return false;
  if ((st.st_mode & S_IWOTH) != 0) return true;
  return !GroupHoldsOwnerAlone(st.st_uid, st.st_gid);
}

}  // namespace

bool FolderWritableByOthers(const std::string& path) {
  struct stat st;
  if (::stat(NativePath(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  return WritableByOthers(st, false);
}

// ---- TTrustedFolder ----

std::unique_ptr<TTrustedFolder> TTrustedFolder::Open(const std::string& path) {
  const std::string native = NativePath(path);
  if (native.empty() || native[0] != '/') return nullptr;
  int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  size_t start = 0;
  for (;;) {
    if (fd < 0) return nullptr;
    const size_t end = native.find('/', start);
    const std::string part = native.substr(start, end == std::string::npos ? end : end - start);
    bool last = end == std::string::npos || native.find_first_not_of('/', end) == std::string::npos;
    if (part == "..") break;
    if (!part.empty() && part != ".") {
      const int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      ::close(fd);
      fd = next;
      if (fd < 0) return nullptr;
    }
    if (::fstat(fd, &st) != 0 || WritableByOthers(st, !last)) break;
    if (last) {
      // Every later use goes through the descriptor's own name, which the kernel resolves to the
      // held folder; a /proc that shows something else refuses the folder.
      const std::string held = "/proc/self/fd/" + std::to_string(fd);
      struct stat seen;
      if (::stat(held.c_str(), &seen) != 0 || seen.st_dev != st.st_dev || seen.st_ino != st.st_ino)
        break;
      std::string opened = path;
      if (opened.back() != '\\' && opened.back() != '/') opened += '\\';
      return std::unique_ptr<TTrustedFolder>(
          new TTrustedFolder(fd, opened, "\\proc\\self\\fd\\" + std::to_string(fd) + "\\"));
    }
    start = end + 1;
  }
  ::close(fd);
  return nullptr;
}

TTrustedFolder::~TTrustedFolder() {
  ::close(static_cast<int>(handle_));
}

bool TTrustedFolder::StartProgram(const std::string& name, const std::string& argument) {
  const int fd = ::openat(static_cast<int>(handle_), name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            st.st_nlink == 1 && !WritableByOthers(st, false);
  // Archives carry no execute bit: the program gets it here, on the file that will run.
  if (ok && (st.st_mode & 0111) != 0111) ok = ::fchmod(fd, (st.st_mode & 07777) | 0111) == 0;
  const std::string shown = NativePath(opened_ + name);
  char* argv[] = {const_cast<char*>(shown.c_str()), const_cast<char*>(argument.c_str()), nullptr};
  // The program is started from a grandchild, so that nothing is left to reap once the child has
  // ended; a failed exec reports its error through a pipe that a successful one closes.
  int report[2] = {-1, -1};
  if (ok) ok = ::pipe2(report, O_CLOEXEC) == 0;
  pid_t child = -1;
  if (ok) child = ::fork();
  if (child == 0) {
    if (::fork() != 0) ::_exit(0);
    ::fexecve(fd, argv, environ);
    const int err = errno;
    if (::write(report[1], &err, sizeof err) < 0) ::_exit(127);
    ::_exit(127);
  }
  if (report[1] >= 0) ::close(report[1]);
  ::close(fd);
  if (child > 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t got;
    while ((got = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    ok = got == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  } else {
    ok = false;
  }
  if (report[0] >= 0) ::close(report[0]);
  return ok;
}

}  // namespace qobz::platform
