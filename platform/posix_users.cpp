// Who may write to a folder, on POSIX systems. Kept apart from the other platform routines
// because it asks the user database (through NSS): a program that never asks, linked statically,
// does not pull that in.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
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

}  // namespace

bool FolderWritableByOthers(const std::string& path) {
  struct stat st;
  if (::stat(NativePath(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return true;
  if ((st.st_mode & S_IWOTH) != 0) return true;
  return (st.st_mode & S_IWGRP) != 0 && !GroupHoldsOwnerAlone(st.st_uid, st.st_gid);
}

}  // namespace qobz::platform
