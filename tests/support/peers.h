// The LHA tools that nobody here wrote, used as black boxes, and how a test that needs one that is
// not installed skips: it says "SKIPPED: <suite>: <reason>" on a line of its own, which `make
// test` collects into its last line, so a skip is never silent.
#pragma once

#include <cstdlib>
#include <ostream>
#include <string>

namespace qobz::test {

struct LhaPeer {
  const char* name;     // the program, called by its own name (never `lha`)
  const char* package;  // the Debian package that brings it
  // Run in an empty folder: writes the one member of %A to %O.
  const char* extract_member;
  // Run in the folder that holds a.lzh: extracts every member into that folder.
  const char* extract_all;
  bool needs_two_byte_values;  // refuses a main code with a single symbol
};

inline constexpr LhaPeer kLhaPeers[] = {
    {"lhasa", "lhasa", "lhasa pq %A > %O 2>/dev/null", "lhasa xq a.lzh", false},
    {"jlha", "jlha-utils", "jlha xq %A >/dev/null 2>&1; cat member.bin > %O 2>/dev/null",
     "jlha xq a.lzh", false},
    {"7zz", "7zip", "7zz e -so %A > %O 2>/dev/null", "7zz x -y a.lzh", false},
    {"bsdtar", "libarchive-tools", "bsdtar -xOf %A > %O 2>/dev/null", "bsdtar -xf a.lzh", true},
};

// Names the peer in test listings (instead of a dump of the struct's bytes).
inline void PrintTo(const LhaPeer& peer, std::ostream* os) {
  *os << peer.name;
}

inline bool HasProgram(const std::string& name) {
  return std::system(("command -v '" + name + "' >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace qobz::test

// Skips the current test unless `program` is installed; `suite` names what is skipped.
#define QOBZ_SKIP_WITHOUT(suite, program, package)                                           \
  if (!::qobz::test::HasProgram(program))                                                    \
  GTEST_SKIP() << "SKIPPED: " << (suite) << ": " << (program) << " is not installed (Debian " \
               << "package " << (package) << ")"
