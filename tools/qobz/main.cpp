// qobz: make, list, test and extract QOBZ archives, and pack raw streams.
#include <cstdio>
#include <cstring>
#include <string>

#include "common.h"
#include "sfx.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* usage;
  const char* help;
};

// SfxCommand takes its own name as argv[0], as a program would.
int RunSfx(int argc, char** argv) {
  return qobz::tool::SfxCommand(argc + 1, argv - 1);
}

const Command kCommands[] = {
    {"a", qobz::tool::CommandAdd,
     "qobz a ARCHIVE FILE|FOLDER... [--method NON|RLE|LZH|LH5] [--best] [--key N] [--lock 1|2]",
     "Creates ARCHIVE from the files and folders given (folders are added with everything below\n"
     "them). --method picks the codec (default LH5); entries that do not get smaller are stored.\n"
     "--best makes LH5 entries smaller, at a fraction of the speed; every LHA tool reads them.\n"
     "--key N locks every entry with the 32-bit key N; --lock 2 (the default with a key) also\n"
     "scrambles the packed bytes, --lock 1 only locks them. --entry NAME=PATH adds the file PATH\n"
     "under the stored name NAME. Empty files are put first, so that\n"
     "extraction, which stops when the total size is reached, still makes them.\n"},
    {"l", qobz::tool::CommandList, "qobz l ARCHIVE [--offset N]",
     "Lists every entry: name, size, packed size, ratio, method, date, attributes, checksum and\n"
     "lock. --offset N reads an archive that starts N bytes into the file.\n"},
    {"x", qobz::tool::CommandExtract,
     "qobz x ARCHIVE [-C DIR] [FILE...] [--key N] [--mkdirs] [--check-space] [--absolute-names] "
     "[--offset N]",
     "Extracts the entries (or only the FILEs named) below DIR (default: the current folder).\n"
     "--mkdirs makes missing folders; --check-space checks free space before each entry; --key N\n"
     "opens locked entries. Entries with absolute names are refused unless --absolute-names is\n"
     "given; names with a \"..\" segment are always refused. Exits 1 if any entry was refused.\n"},
    {"t", qobz::tool::CommandTest, "qobz t ARCHIVE [--key N] [--offset N] [--quiet]",
     "Expands every entry to nowhere and checks its size and checksum.\n"},
    {"encode", qobz::tool::CommandEncode,
     "qobz encode --method NON|RLE|LZH|LH5 [--best] [IN [OUT]]",
     "Packs IN (default standard input) into a raw stream of the method on OUT (default standard\n"
     "output), without any archive header. --best makes smaller LH5 streams, more slowly.\n"},
    {"decode", qobz::tool::CommandDecode,
     "qobz decode --method NON|RLE|LZH|LH5 [--size N] [IN [OUT]]",
     "Unpacks a raw stream of the method. LZH and LH5 streams need --size, the unpacked size.\n"},
    {"sfx", RunSfx, "qobz sfx LIBRARY ARCHIVE -o OUT [--offset N]",
     "Writes OUT: LIBRARY, zero bytes up to the offset (default 431616, where the shipped\n"
     "launcher looks), then ARCHIVE. Refuses a library larger than the offset. `qobz l OUT\n"
     "--offset N` lists what is inside.\n"},
};

void PrintUsage(FILE* to) {
  std::fprintf(to, "usage:\n");
  for (const Command& c : kCommands) std::fprintf(to, "  %s\n", c.usage);
  std::fprintf(to, "Run `qobz COMMAND --help` for more about a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (name != c.name) continue;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
        std::printf("usage: %s\n\n%s", c.usage, c.help);
        return 0;
      }
    }
    try {
      return c.run(argc - 2, argv + 2);
    } catch (const qobz::tool::UsageError& e) {
      std::fprintf(stderr, "qobz %s: %s\nusage: %s\n", c.name, e.what(), c.usage);
      return 2;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qobz %s: %s\n", c.name, e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "qobz: unknown command \"%s\"\n", name.c_str());
  PrintUsage(stderr);
  return 2;
}
