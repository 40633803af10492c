// `qobz sfx`: packs an archive onto a launcher library.
#pragma once

#include <cstdint>

namespace qobz::tool {

// The offset of the shipped 32-bit launcher, from the build (QOBZ_SHIPPED_ARCHIVE_OFFSET).
constexpr int64_t kDefaultSfxOffset = QOBZ_SHIPPED_ARCHIVE_OFFSET;

// qobz sfx LIBRARY ARCHIVE -o OUT [--offset N]
//
// Writes OUT: the bytes of LIBRARY, zero bytes up to the offset (default kDefaultSfxOffset), then
// the bytes of ARCHIVE. Fails, writing nothing, when LIBRARY is larger than the offset or ARCHIVE
// does not start with an archive header. argv[0] is the command's name ("sfx"); answers the exit
// code.
int SfxCommand(int argc, char** argv);

}  // namespace qobz::tool
