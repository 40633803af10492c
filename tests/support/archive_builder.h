// Builds archives byte by byte for tests, including damaged ones, and a scratch folder.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "qobz/headers.h"

namespace qobz::test {

struct RawEntry {
  RawEntry(std::string n, std::vector<uint8_t> p) : name(std::move(n)), packed(std::move(p)) {}
  std::string name;
  std::vector<uint8_t> packed;
  std::optional<int32_t> unpacked_size;  // default: the size of packed
  uint8_t method = 0;
  int64_t checksum = -1;  // -1: the byte sum of packed
  int32_t key_lock = 0;
  uint16_t attr = 0x20;
  uint32_t date = 0x31859978;  // 5 December 2004 19:11:48
};

inline uint32_t ByteSum(const std::vector<uint8_t>& data) {
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  return sum;
}

inline std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// An archive of the given entries; total_size -1 means the sum of the unpacked sizes.
inline std::vector<uint8_t> BuildArchive(const std::vector<RawEntry>& entries,
                                         const char* id = "NON", int64_t total_size = -1,
                                         uint8_t type = caMulti) {
  TArchiveHeader archive;
  std::copy(kSignature, kSignature + 5, archive.Signature);
  std::copy(id, id + 3, archive.CompressID);
  archive.ArchiveType = type;
  int64_t total = 0;
  for (const RawEntry& e : entries)
    total += e.unpacked_size.value_or(static_cast<int32_t>(e.packed.size()));
  archive.TotalSize = static_cast<int32_t>(total_size >= 0 ? total_size : total);
  std::vector<uint8_t> out(kArchiveHeaderSize);
  archive.Encode(out.data());
  for (const RawEntry& e : entries) {
    TEntryHeader h;
    h.NameLength = static_cast<int16_t>(e.name.size());
    h.FileDate = e.date;
    h.FileAttr = e.attr;
    h.UnpackedSize = e.unpacked_size.value_or(static_cast<int32_t>(e.packed.size()));
    h.PackedSize = static_cast<int32_t>(e.packed.size());
    h.Method = e.method;
    h.Checksum = e.checksum >= 0 ? static_cast<uint32_t>(e.checksum) : ByteSum(e.packed);
    h.KeyLock = e.key_lock;
    uint8_t raw[kEntryHeaderSize];
    h.Encode(raw);
    out.insert(out.end(), raw, raw + kEntryHeaderSize);
    out.insert(out.end(), e.name.begin(), e.name.end());
    out.insert(out.end(), e.packed.begin(), e.packed.end());
  }
  return out;
}

// A fresh folder below the system's temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qobz-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~ScratchDir() {
    std::error_code ec;
    // Read-only files left by tests must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // The folder in archive style, with backslashes, as TargetPath takes it.
  std::string Target() const {
    std::string t = path_ + "\\";
    for (char& c : t)
      if (c == '/') c = '\\';
    return t;
  }

 private:
  std::string path_;
};

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

}  // namespace qobz::test
