// `qobz sfx`: library + zero padding up to the archive offset + archive.
#include "tools/qobz/sfx.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qobz/headers.h"
#include "tools/qobz/common.h"

namespace qobz::tool {

namespace {

bool ReadAll(const std::string& path, std::vector<char>& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int CommandSfx(const Args& args) {
  const std::vector<std::string>& files = args.Operands();
  if (files.size() != 2) throw UsageError("need a library and an archive");
  if (!args.Has("--output")) throw UsageError("-o OUT is required");
  const std::string out_path = args.Value("--output");
  const int64_t offset = args.Number("--offset", kDefaultSfxOffset, 1, 0x7FFFFFFF);

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

  // A new file beside the target, renamed over it only when complete: a failed run leaves the
  // previous OUT as it was, and a link planted beside it is never followed.
  try {
    OutputFile out(out_path);
    TFileStream& stream = out.Stream();
    constexpr size_t kChunk = size_t{1} << 20;
    for (size_t done = 0; done < library.size(); done += kChunk)
      stream.WriteBuffer(library.data() + done,
                         static_cast<int32_t>(std::min(kChunk, library.size() - done)));
    out.Commit();
  } catch (const Exception& e) {
    std::fprintf(stderr, "qobz sfx: %s\n", e.Message().c_str());
    return 1;
  }
  return 0;
}

}  // namespace qobz::tool
