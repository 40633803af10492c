// UnitCompressIn: the holder of the archive component and the unpacking of the archive that is
// appended to the launcher's own file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qobz/compress.h"

namespace qobz::launcher {

// Where the archive starts inside the launcher's file: the size of the library as linked, padded.
// The build passes the value it also gives to the packing step.
#ifndef QOBZ_ARCHIVE_OFFSET
#error "QOBZ_ARCHIVE_OFFSET comes from the build (launcher/CMakeLists.txt)"
#endif
constexpr int64_t ArchiveOffset = QOBZ_ARCHIVE_OFFSET;

// Owns the one archive component, configured for unpacking the launcher's own archive.
class TCompressDataModule {
 public:
  TCompressDataModule();
  TCompress Compress;
};

// The newest holder; every holder made lives until the library is unloaded.
extern TCompressDataModule* CompressDataModule;
// How many holders exist (for tests).
size_t CompressDataModuleCount();

// Expands every entry of the archive found at `offset` in the file ModulePath (an archive-style
// path) into that file's folder. Answers false when the file cannot be opened and true when the
// expansion ran to its end. Errors of the archive component travel on to the caller. Written,
// when given, holds after a normal end the paths of the files this expansion wrote, in order (an
// entry whose file could not be created is missing from it).
bool UnpackAppendedArchive(const std::string& ModulePath, int64_t offset = ArchiveOffset,
                           TStringList* Written = nullptr);

// The folder part of a path including its last backslash (or colon); empty when there is none.
std::string FolderOf(const std::string& path);

}  // namespace qobz::launcher
