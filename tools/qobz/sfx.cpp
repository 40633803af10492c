// `qobz sfx`: library + zero padding up to the archive offset + archive.
#include "tools/qobz/sfx.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qobz/headers.h"

namespace qobz::tool {

namespace {

bool ReadAll(const std::string& path, std::vector<char>& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int Usage() {
  std::fprintf(stderr, "usage: qobz sfx LIBRARY ARCHIVE -o OUT [--offset N]\n");
  return 2;
}

}  // namespace

int SfxCommand(int argc, char** argv) {
  std::vector<std::string> files;
  std::string out_path;
  int64_t offset = kDefaultSfxOffset;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-o" && i + 1 < argc) {
      out_path = argv[++i];
    } else if (arg == "--offset" && i + 1 < argc) {
      char* end = nullptr;
      long long value = std::strtoll(argv[++i], &end, 0);
      if (!end || *end || value <= 0 || value > 0x7FFFFFFF) {
        std::fprintf(stderr, "qobz sfx: bad offset %s\n", argv[i]);
        return 2;
      }
      offset = value;
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage();
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2 || out_path.empty()) return Usage();

  std::vector<char> library, archive;
  if (!ReadAll(files[0], library)) {
    std::fprintf(stderr, "qobz sfx: cannot read %s\n", files[0].c_str());
    return 1;
  }
  if (!ReadAll(files[1], archive)) {
    std::fprintf(stderr, "qobz sfx: cannot read %s\n", files[1].c_str());
    return 1;
  }
  if (static_cast<int64_t>(library.size()) > offset) {
    std::fprintf(stderr,
                 "qobz sfx: %s is %lld bytes, larger than the archive offset %lld; build the "
                 "library smaller or raise the offset (QOBZ_ARCHIVE_OFFSET)\n",
                 files[0].c_str(), static_cast<long long>(library.size()),
                 static_cast<long long>(offset));
    return 1;
  }
  if (archive.size() < static_cast<size_t>(kArchiveHeaderSize) ||
      std::memcmp(archive.data(), kSignature, sizeof kSignature) != 0) {
    std::fprintf(stderr, "qobz sfx: %s is not an archive\n", files[1].c_str());
    return 1;
  }
  library.resize(static_cast<size_t>(offset), '\0');
  library.insert(library.end(), archive.begin(), archive.end());

  // Write beside the target and rename, so a failed run leaves no half-written library.
  const std::string temp = out_path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(library.data(), static_cast<std::streamsize>(library.size()));
    if (!out.flush()) {
      std::fprintf(stderr, "qobz sfx: cannot write %s\n", temp.c_str());
      std::remove(temp.c_str());
      return 1;
    }
  }
  std::remove(out_path.c_str());
  if (std::rename(temp.c_str(), out_path.c_str()) != 0) {
    std::fprintf(stderr, "qobz sfx: cannot write %s\n", out_path.c_str());
    std::remove(temp.c_str());
    return 1;
  }
  return 0;
}

}  // namespace qobz::tool
