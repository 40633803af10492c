// qobz_corpus DIR [--large]: writes the deterministic test corpus to DIR, one file per sample,
// for shell tests and for timing the peers on the same bytes.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "../../tests/support/corpus.h"

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(stderr, "usage: qobz_corpus DIR [--large]\n");
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(argv[1], ec);
  bool large = argc > 2 && std::strcmp(argv[2], "--large") == 0;
  for (const auto& sample : qobz::test::Corpus(large)) {
    std::string path = std::string(argv[1]) + "/" + sample.name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(sample.data.data(), 1, sample.data.size(), f) != sample.data.size()) {
      std::fprintf(stderr, "qobz_corpus: cannot write %s\n", path.c_str());
      if (f) std::fclose(f);
      return 1;
    }
    std::fclose(f);
  }
  return 0;
}
