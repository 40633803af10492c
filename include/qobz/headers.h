// The on-disk records of a QOBZ archive: one archive header, then per entry an entry header, the
// name and the packed data. All numbers are little-endian and the records are packed; they are
// converted field by field, never by copying a struct, so the host's alignment and byte order do
// not matter.
#pragma once

#include <cstdint>

namespace qobz {

constexpr int kArchiveHeaderSize = 21;
// The largest size the signed 32-bit size fields hold (2 GiB - 1): of an entry, of an archive's
// total, and of what the component answers as "no limit".
constexpr int32_t kMaxFieldSize = 2147483647;
constexpr int kEntryHeaderSize = 25;
constexpr uint8_t kSignature[5] = {'Q', 'O', 'B', 'Z', 0x1A};

// Archive types; only multi-file archives exist.
constexpr uint8_t caMulti = 1;

// Method codes, the places of the methods' rows in their table (qobz/methods.h), which checks them.
enum : uint8_t {
  kMethodStored = 0,
  kMethodRle = 1,
  kMethodLzh = 2,
  kMethodCustom = 3,
  kMethodLh5 = 4
};

struct TArchiveHeader {
  uint8_t Signature[5] = {0, 0, 0, 0, 0};
  char CompressID[3] = {0, 0, 0};
  int32_t TotalSize = 0;
  uint8_t ArchiveType = 0;
  uint32_t Reserved = 0;
  int32_t KeyLock = 0;

  void Encode(uint8_t out[kArchiveHeaderSize]) const;
  static TArchiveHeader Decode(const uint8_t in[kArchiveHeaderSize]);
};

struct TEntryHeader {
  int16_t NameLength = 0;
  uint32_t FileDate = 0;  // MS-DOS stamp, local time: time low 16 bits, date high 16 bits
  uint16_t FileAttr = 0;
  int32_t UnpackedSize = 0;
  int32_t PackedSize = 0;
  uint8_t Method = 0;
  uint32_t Checksum = 0;
  int32_t KeyLock = 0;  // <= 0 open; 2 locked and scrambled; any other positive value locked

  void Encode(uint8_t out[kEntryHeaderSize]) const;
  static TEntryHeader Decode(const uint8_t in[kEntryHeaderSize]);
};

}  // namespace qobz
