// LH5 streams made by the jlha-utils `jlha` tool, for benchmarks that need realistic streams of
// any file: the file is archived by `jlha a` in a temporary folder and its member taken apart.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "../tests/support/lha_container.h"

namespace qobz::bench {

inline std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteWholeFile(const std::filesystem::path& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The -lh5- stream that `jlha a` makes of data.
inline std::vector<uint8_t> LhaStreamOf(const std::vector<uint8_t>& data) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("qobz-lha-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  WriteWholeFile(dir / "member", data);
  const std::string cmd = "cd '" + dir.string() + "' && jlha aq a.lzh member >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) {
    fs::remove_all(dir);
    throw std::runtime_error("jlha a failed (is jlha-utils installed?)");
  }
  const auto members = test::ReadLhaArchive(ReadWholeFile(dir / "a.lzh"));
  fs::remove_all(dir);
  if (members.size() != 1 || members[0].original_size != data.size()) {
    throw std::runtime_error("unexpected archive from jlha");
  }
  if (members[0].method != "-lh5-") {
    throw std::runtime_error("jlha stored the data with " + members[0].method);
  }
  return members[0].packed;
}

}  // namespace qobz::bench
