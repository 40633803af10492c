// qobz_pack: the build's packing step for launcher libraries.
//
//   qobz_pack archive OUT METHOD NAME=PATH...   make an archive (METHOD: NON, RLE, LZH or LH5)
//   qobz_pack sfx LIBRARY ARCHIVE -o OUT [--offset N]
//
// A method whose codec fails falls back to NON, with a note, so that the build works before every
// codec exists.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "qobz/compress.h"
#include "qobz/writer.h"
#include "tools/qobz/sfx.h"

namespace {

int MakeArchive(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: qobz_pack archive OUT METHOD NAME=PATH...\n");
    return 2;
  }
  uint8_t method = 255;
  for (uint8_t code = 0; code < 5; ++code)
    if (code != qobz::kMethodCustom && std::strcmp(argv[2], qobz::kMethodIds[code]) == 0)
      method = code;
  if (method == 255) {
    std::fprintf(stderr, "qobz_pack: unknown method %s\n", argv[2]);
    return 2;
  }
  for (;;) {
    try {
      auto out = qobz::TFileStream::Create(argv[1]);
      qobz::TCompress compress;
      qobz::TArchiveWriter writer(compress, *out, method);
      for (int i = 3; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (!eq) {
          std::fprintf(stderr, "qobz_pack: expected NAME=PATH, got %s\n", argv[i]);
          return 2;
        }
        writer.AddFile(eq + 1, std::string(argv[i], static_cast<size_t>(eq - argv[i])));
      }
      writer.Finish();
      return 0;
    } catch (const qobz::EFOpenError& e) {
      std::fprintf(stderr, "qobz_pack: %s\n", e.what());
      return 1;
    } catch (const qobz::Exception& e) {
      if (method == qobz::kMethodStored) {
        std::fprintf(stderr, "qobz_pack: %s\n", e.what());
        return 1;
      }
      std::fprintf(stderr, "qobz_pack: note: %s failed (%s); storing instead\n",
                   qobz::kMethodIds[method], e.what());
      method = qobz::kMethodStored;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "archive") return MakeArchive(argc - 1, argv + 1);
  if (command == "sfx") return qobz::tool::SfxCommand(argc - 1, argv + 1);
  std::fprintf(stderr, "usage: qobz_pack archive|sfx ...\n");
  return 2;
}
