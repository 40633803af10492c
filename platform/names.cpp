// Which stored names can name a file on this system, and how names are shown: the same rule for
// every layer that reads a name, on the name's bytes as stored (never cut at a NUL).
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace qobz::platform {

namespace {

#if defined(_WIN32)
constexpr size_t kMaxPathBytes = 259;  // MAX_PATH less its terminator
bool FileNameByte(unsigned char c) {
  if (c < 32) return false;
  switch (c) {
    case '<':
    case '>':
    case ':':
    case '"':
    case '|':
    case '?':
    case '*':
      return false;
    default:
      return true;
  }
}
#else
constexpr size_t kMaxPathBytes = 4095;  // PATH_MAX less its terminator
bool FileNameByte(unsigned char c) {
  return c != 0;
}
#endif
constexpr size_t kMaxNameBytes = 255;  // one folder entry

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

}  // namespace

std::string NameRefusal(const std::string& name) {
  if (name.size() > kMaxPathBytes)
    return "refused: name longer than a path may be (" + std::to_string(kMaxPathBytes) + " bytes)";
  size_t run = 0;  // bytes of the current folder or file name
  for (size_t i = RootLength(name); i < name.size(); ++i) {
    const char c = name[i];
    if (IsSeparator(c)) {
      run = 0;
      continue;
    }
    if (!FileNameByte(static_cast<unsigned char>(c)))
      return "refused: name holds a byte no file name may hold here";
    if (++run > kMaxNameBytes)
      return "refused: a folder or file name longer than " + std::to_string(kMaxNameBytes) +
             " bytes";
  }
  return {};
}

bool RandomName(const std::string& prefix, std::string& name) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[16];
  if (!RandomBytes(random, sizeof random)) return false;
  name = prefix;
  for (const unsigned char c : random) name += kLetters[c % (sizeof kLetters - 1)];
  return true;
}

std::string EscapedName(const std::string& name) {
  std::string shown;
  shown.reserve(name.size());
  for (const char c : name) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= 32 && b != 127) {
      shown += c;
      continue;
    }
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02x", b);
    shown += code;
  }
  return shown;
}

}  // namespace qobz::platform
