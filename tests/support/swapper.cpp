// qobz_test_swapper SECONDS PATH_A PATH_B [STOPFILE]
//
// The hostile neighbour of the race tests: trades the names PATH_A and PATH_B (two folders, or a
// folder and a link) with one atomic exchange after another, as fast as the system allows, until
// SECONDS have passed or STOPFILE exists; the names end where they began. Exit 0 then, 77 with the
// reason when this kernel or file system cannot exchange names (the caller skips its case), 1 on
// any other failure. Linux only: the exchange is renameat2(RENAME_EXCHANGE), called by its number
// so that any C library will do.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned kRenameExchange = 1u << 1;  // RENAME_EXCHANGE of <linux/fs.h>

const char* g_a;
const char* g_b;

bool Exchange() {
  return ::syscall(SYS_renameat2, AT_FDCWD, g_a, AT_FDCWD, g_b, kRenameExchange) == 0;
}

void ExchangeOrEnd() {
  if (Exchange()) return;
  std::fprintf(stderr, "qobz_test_swapper: exchange of %s and %s failed: %s\n", g_a, g_b,
               std::strerror(errno));
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: qobz_test_swapper SECONDS PATH_A PATH_B [STOPFILE]\n");
    return 1;
  }
  char* end = nullptr;
  const double seconds = std::strtod(argv[1], &end);
  if (*end != '\0' || !(seconds > 0 && seconds <= 600)) {
    std::fprintf(stderr, "qobz_test_swapper: SECONDS must be above 0 and at most 600\n");
    return 1;
  }
  g_a = argv[2];
  g_b = argv[3];
  const char* stop = argc == 5 ? argv[4] : nullptr;

  if (!Exchange()) {
    const int error = errno;
    if (error == EINVAL || error == ENOSYS) {
      std::fprintf(stderr, "no atomic exchange of names here (renameat2 RENAME_EXCHANGE: %s)\n",
                   std::strerror(error));
      return 77;
    }
    std::fprintf(stderr, "qobz_test_swapper: cannot exchange %s and %s: %s\n", g_a, g_b,
                 std::strerror(error));
    return 1;
  }
  // The names stand exchanged at the top of every round and back where they began after its odd
  // number of exchanges. The clock and the stop file are looked at between rounds only, so that
  // the names trade places as often as the system can manage.
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    for (int i = 0; i < 1023; ++i) ExchangeOrEnd();
    if (Clock::now() >= until || (stop && ::access(stop, F_OK) == 0)) return 0;
    ExchangeOrEnd();
  }
}
