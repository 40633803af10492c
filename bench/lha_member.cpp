// lha_member ARCHIVE OUT: writes the packed stream of the archive's first member to OUT and
// prints its method and original size ("-lh5- 12345").
// lha_member --make STREAM ORIGINAL ARCHIVE: wraps an LH5 stream of ORIGINAL in a one-member
// LHA archive, so that the peers can extract a stream that our encoder made.
#include <cstdio>
#include <cstring>
#include <exception>

#include "lha_peer.h"

int main(int argc, char** argv) {
  try {
    if (argc == 5 && std::strcmp(argv[1], "--make") == 0) {
      const auto packed = qobz::bench::ReadWholeFile(argv[2]);
      const auto original = qobz::bench::ReadWholeFile(argv[3]);
      const std::string name = std::filesystem::path(argv[3]).filename().string();
      qobz::bench::WriteWholeFile(argv[4],
                                  qobz::test::MakeLhaArchive("-lh5-", name, packed, original));
      return 0;
    }
    if (argc != 3) {
      std::fprintf(stderr, "usage: lha_member ARCHIVE OUT | --make STREAM ORIGINAL ARCHIVE\n");
      return 2;
    }
    const auto members = qobz::test::ReadLhaArchive(qobz::bench::ReadWholeFile(argv[1]));
    if (members.empty()) throw std::runtime_error("no member");
    qobz::bench::WriteWholeFile(argv[2], members[0].packed);
    std::printf("%s %u\n", members[0].method.c_str(), members[0].original_size);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lha_member: %s\n", e.what());
    return 1;
  }
  return 0;
}
