// Writes a one-member LHA archive holding a file packed by our LZH encoder as an -lh1- entry, so
// that an independent LHA tool can extract it beside our own expander (scripts/compare-lzh.sh).
//   lzh_lha_archive PLAIN ARCHIVE
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "qobz/compress.h"
#include "support/lha_container.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: lzh_lha_archive PLAIN ARCHIVE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "lzh_lha_archive: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<uint8_t> plain((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  qobz::TCompress c;
  qobz::TMemoryStream src(plain), dst;
  uint32_t sum = 0;
  c.EncodeStream(dst, src, static_cast<int32_t>(plain.size()), qobz::kMethodLzh, sum);
  const std::vector<uint8_t> archive =
      qobz::test::MakeLhaArchive("-lh1-", "data", dst.Data(), plain);
  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char*>(archive.data()),
            static_cast<std::streamsize>(archive.size()));
  return out ? 0 : 1;
}
