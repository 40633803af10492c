// Krovnel: the archive component as a shared library, for the companion programs.
//
// Result codes are those that the companion program posts (see dorvane.cpp).
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KROVNEL_API extern "C" __declspec(dllexport)
#else
#define KROVNEL_API extern "C" __attribute__((visibility("default")))
#endif

// Packs every file below `folder` (stored under its path relative to the folder, backslashes
// between folder names) into the archive `archive_path`, whose entries use the method named by
// `method_id` ("LH5", "LZH", "RLE" or "NON"). The archive is written under a temporary name and
// renamed when complete; the source files are only read. A method whose codec fails falls back
// to "NON" for the whole archive. `method_used` receives the identifier actually used (4 bytes).
// `skip_folder`, if not empty, is a folder below `folder` that is left out (the backup's own).
using KrovnelBackupFn = int32_t (*)(const char* folder, const char* skip_folder,
                                    const char* archive_path, const char* method_id,
                                    char* method_used, int32_t* entries);
// Reads every entry of the archive, checking each checksum. Answers 0 when the archive is sound.
using KrovnelVerifyFn = int32_t (*)(const char* archive_path, int32_t* entries);

constexpr const char* kKrovnelBackup = "KrovnelBackup";
constexpr const char* kKrovnelVerify = "KrovnelVerify";
