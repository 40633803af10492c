// Result codes that the companion program posts as "DVResult". All are below 100, so the
// launcher returns each to its host unchanged. The texts live in hcorig.hc.
#pragma once

#include <cstdint>

namespace dorvane {

constexpr int32_t kDone = 0;                 // the backup was made and verified
constexpr int32_t kNoFolder = 10;            // FolderPath is empty
constexpr int32_t kNotAFolder = 11;          // FolderPath names no folder
constexpr int32_t kBadSettings = 12;         // Osvant03.hc or hcorig.hc missing or unreadable
constexpr int32_t kNoBackupFolder = 20;      // the backup folder cannot be made
constexpr int32_t kNoArchiveComponent = 21;  // Krovnel.dll cannot be loaded
constexpr int32_t kSourceUnreadable = 30;    // a file below FolderPath cannot be read
constexpr int32_t kArchiveUnwritable = 31;   // the archive cannot be written (disk full, ...)
constexpr int32_t kTooLarge = 32;            // the files do not fit into one archive (2 GB)
constexpr int32_t kVerifyFailed = 40;        // VQ.EXE found the finished archive unsound
constexpr int32_t kVerifierMissing = 41;     // VQ.EXE cannot be run
constexpr int32_t kInternal = 99;            // anything else

}  // namespace dorvane
