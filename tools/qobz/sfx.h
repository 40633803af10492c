// `qobz sfx`: packs an archive onto a launcher library.
#pragma once

#include <cstdint>

namespace qobz::tool {

// The offset of the shipped 32-bit launcher, from the build (QOBZ_SHIPPED_ARCHIVE_OFFSET).
constexpr int64_t kDefaultSfxOffset = QOBZ_SHIPPED_ARCHIVE_OFFSET;

// The sfx command (CommandSfx, common.h) writes OUT: the bytes of LIBRARY, zero bytes up to the
// offset (default kDefaultSfxOffset), then the bytes of ARCHIVE. It fails, writing nothing, when
// LIBRARY is larger than the offset or ARCHIVE does not start with an archive header.

}  // namespace qobz::tool
