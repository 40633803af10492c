// qobz: make, list, test and extract QOBZ archives.
#include <cstdio>

int main() {
  std::puts("qobz: not built yet");
  return 1;
}
