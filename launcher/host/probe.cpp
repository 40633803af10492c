// qobz_probe: exits with the size of a pointer in bytes (4 for 32-bit code, 8 for 64-bit). The
// Windows end-to-end tests run it first to learn whether this machine can run such programs at
// all, apart from anything of ours that might fail.
int main() {
  return static_cast<int>(sizeof(void*));
}
