// VQ.EXE: verifies a finished backup.
//
//   VQ.EXE ARCHIVE [REPORT]
//
// Loads Krovnel.dll from its own folder, reads every entry of ARCHIVE and checks its checksum.
// With REPORT, appends one line saying what it found. Exit code 0: the archive is sound;
// 1: it is not; 2: Krovnel.dll cannot be loaded; 3: wrong arguments.
#include <cstdio>
#include <string>

#include "launcher/companion/krovnel.h"
#include "platform/platform.h"

namespace {

std::string OwnFolder() {
  std::string path = qobz::platform::OwnModulePath();
  size_t cut = path.find_last_of("\\:");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: VQ.EXE ARCHIVE [REPORT]\n");
    return 3;
  }
  auto krovnel = qobz::platform::TSharedLibrary::Load(OwnFolder() + "Krovnel.dll");
  auto verify =
      krovnel ? reinterpret_cast<KrovnelVerifyFn>(krovnel->Symbol(kKrovnelVerify)) : nullptr;
  if (!verify) return 2;
  int32_t entries = 0;
  int32_t code = verify(argv[1], &entries);
  if (argc == 3) {
    if (std::FILE* report = std::fopen(qobz::platform::NativePath(argv[2]).c_str(), "a")) {
      std::fprintf(report, "VQ %s: %s, %d entries\n", argv[1], code == 0 ? "sound" : "UNSOUND",
                   static_cast<int>(entries));
      std::fclose(report);
    }
  }
  return code == 0 ? 0 : 1;
}
