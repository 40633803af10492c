// qobz_host: loads a launcher library, calls MakeBackupCD and prints the result.
//
//   qobz_host LIBRARY VOLUME TITLE COLORFORM COLORTEXT FOLDERPATH [--repeat N] [--null-folder]
//
// Prints "MakeBackupCD returned N" for each call and exits with 0 when every call returned 0,
// 1 when one did not, 3 when the library or its export cannot be had.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

#if defined(_WIN32)
#define QOBZ_WINAPI __stdcall
#else
#define QOBZ_WINAPI
#endif

using MakeBackupCDFn = int32_t(QOBZ_WINAPI*)(const char*, const char*, const char*, const char*,
                                             const char*);

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr,
                 "usage: qobz_host LIBRARY VOLUME TITLE COLORFORM COLORTEXT FOLDERPATH "
                 "[--repeat N] [--null-folder]\n");
    return 3;
  }
  int repeat = 1;
  bool null_folder = false;
  for (int i = 7; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (arg == "--null-folder") {
      null_folder = true;
    } else {
      std::fprintf(stderr, "qobz_host: unknown option %s\n", argv[i]);
      return 3;
    }
  }
  auto library = qobz::platform::TSharedLibrary::Load(argv[1]);
  if (!library) {
    std::fprintf(stderr, "qobz_host: cannot load %s\n", argv[1]);
    return 3;
  }
  auto make_backup = reinterpret_cast<MakeBackupCDFn>(library->Symbol("MakeBackupCD"));
  if (!make_backup) {
    std::fprintf(stderr, "qobz_host: %s has no export MakeBackupCD\n", argv[1]);
    return 3;
  }
  bool all_zero = true;
  for (int i = 0; i < repeat; ++i) {
    int32_t result =
        make_backup(argv[2], argv[3], argv[4], argv[5], null_folder ? nullptr : argv[6]);
    std::printf("MakeBackupCD returned %d\n", static_cast<int>(result));
    std::fflush(stdout);
    if (result != 0) all_zero = false;
  }
  return all_zero ? 0 : 1;
}
