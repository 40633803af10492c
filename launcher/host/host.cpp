// qobz_host: loads a launcher library, calls MakeBackupCD and prints the result.
//
//   qobz_host LIBRARY VOLUME TITLE COLORFORM COLORTEXT FOLDERPATH [--repeat N] [--null-folder]
//
// Prints "MakeBackupCD returned N" for each call and exits with 0 when every call returned 0,
// 1 when one did not, 3 when the library or its export cannot be had. The 32-bit Windows build
// also checks that each call through the stdcall pointer leaves the stack pointer where it was
// (the export removes its own five arguments) and exits with 4 when one does not.
#include <cstdint>
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

namespace {

// One call. `balanced` says whether the stack pointer is the same before and after it: the
// compiler takes the callee to remove the arguments, so a callee that does not (or removes a
// different number) leaves the stack pointer moved.
int32_t Call(MakeBackupCDFn fn, char** argv, bool null_folder, bool& balanced) {
#if defined(_WIN32) && defined(__i386__)
  uintptr_t before = 0, after = 0;
  asm volatile("movl %%esp, %0" : "=r"(before) : : "memory");
  int32_t result = fn(argv[2], argv[3], argv[4], argv[5], null_folder ? nullptr : argv[6]);
  asm volatile("movl %%esp, %0" : "=r"(after) : : "memory");
  balanced = before == after;
  return result;
#else
  balanced = true;
  return fn(argv[2], argv[3], argv[4], argv[5], null_folder ? nullptr : argv[6]);
#endif
}

}  // namespace

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
    bool balanced = true;
    int32_t result = Call(make_backup, argv, null_folder, balanced);
    std::printf("MakeBackupCD returned %d\n", static_cast<int>(result));
    std::fflush(stdout);
    if (!balanced) {
      std::fprintf(stderr, "qobz_host: call %d left the stack unbalanced\n", i + 1);
      return 4;
    }
    if (result != 0) all_zero = false;
  }
  return all_zero ? 0 : 1;
}
