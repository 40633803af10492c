// The only interface to the host system. Everything below it differs between Windows and POSIX;
// everything above it is portable.
//
// Paths given to these functions are archive-style paths: backslashes between folder names, as
// stored in archives and in TargetPath. On POSIX they are mapped to '/' here, where the file
// system is touched, and a leading backslash is a path from the root.
#pragma once

#include <cstdint>
#include <string>

namespace qobz {
class TFileStream;
}

namespace qobz::platform {

// Gives other threads of the process a chance to run (a zero-length sleep).
void YieldProcessor();
// Sleeps for the given number of milliseconds.
void SleepMs(uint32_t milliseconds);

// The host's form of an archive-style path.
std::string NativePath(const std::string& path);

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
// Sets the attribute bits; answers false on failure. POSIX honours the read-only bit only.
bool SetAttributes(const std::string& path, uint32_t attributes);
bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);
// Makes one folder; raises EInOutError naming the path and the reason on failure.
void MakeFolder(const std::string& path);
// Sets the last-write time of an open file from an MS-DOS date/time stamp in local time (time in
// the low 16 bits, date in the high 16 bits). Answers false on failure.
bool SetFileDate(TFileStream& file, uint32_t dos_stamp);
// The last-write time of a file as a local-time MS-DOS stamp, or 0 when it cannot be read.
uint32_t GetFileDate(const std::string& path);
// Free bytes of a drive (0 the current drive, 1 drive A, ...), or -1 when they cannot be had.
// POSIX has no drives: drive 0 is the file system that holds near_path (its nearest existing
// folder), any other drive number answers -1.
double DiskFreeBytes(int drive, const std::string& near_path);
// A text for the last system error, for messages.
std::string LastErrorText();

}  // namespace qobz::platform
