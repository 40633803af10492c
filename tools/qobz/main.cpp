// qobz: make, list, test and extract QOBZ archives, and pack raw streams.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "platform/platform.h"
#include "qobz/version.h"
#include "sfx.h"

// The shipped launcher's offset, written into the help of sfx.
#define QOBZ_STRINGIFY_(x) #x
#define QOBZ_STRINGIFY(x) QOBZ_STRINGIFY_(x)
#define QOBZ_SFX_OFFSET_TEXT QOBZ_STRINGIFY(QOBZ_SHIPPED_ARCHIVE_OFFSET)

namespace {

using qobz::tool::Args;
using qobz::tool::OptionInfo;

struct Command {
  const char* name;
  int (*run)(const Args&);
  const char* operands;
  const char* help;
  std::vector<OptionInfo> options;
};

const OptionInfo kKey{"key", 0, "N", "the 32-bit key of locked entries"};
const OptionInfo kOffset{"offset", 0, "N", "the archive starts N bytes into the file"};
const OptionInfo kJobs{"jobs", 'j', "N",
                       "expand on N threads when the archive is a file (default: one per core)"};
const OptionInfo kMethod{"method", 0, "NON|RLE|LZH|LH5", "the codec"};
const OptionInfo kBest{"best", 0, nullptr,
                       "pack LH5 smaller, more slowly (every LHA tool reads it)"};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"a",
       qobz::tool::CommandAdd,
       "ARCHIVE FILE|FOLDER...",
       "Adds the files and folders given (folders with everything below them) to ARCHIVE, made\n"
       "new when it does not exist. Entries already in ARCHIVE under the same name are replaced,\n"
       "the others are copied over as they are. ARCHIVE is replaced only once the new one is\n"
       "complete; `-` writes a new archive to standard output. Entries that do not get smaller\n"
       "are stored. Names are stored normalised; a leading / or ../ is dropped with a warning.\n"
       "Inside a folder, what cannot be stored (a pipe, a socket, a dangling link, an unreadable\n"
       "file) is passed over with a warning and the exit code is 1; links are followed, each\n"
       "folder once. An input that would replace an entry but cannot be read (one passed over\n"
       "inside a folder included) is an error that leaves ARCHIVE as it was (--keep-unreadable\n"
       "keeps that entry and adds the rest). The archive is the same whatever the number of\n"
       "threads.\n",
       {{"method", 0, "NON|RLE|LZH|LH5",
         "the codec of the new entries (default: the archive's, else LH5)"},
        kBest,
        {"key", 0, "N", "lock every new entry with the 32-bit key N"},
        {"lock", 0, "1|2", "2 (the default with a key) also scrambles the packed bytes"},
        {"entry", 0, "NAME=PATH", "add the file PATH under the stored name NAME (repeatable)"},
        {"directory", 'C', "DIR", "read the inputs from DIR (names are stored relative to it)"},
        {"exclude", 0, "PATTERN", "leave out what the wildcard matches (name or path; repeatable)"},
        {"jobs", 'j', "N", "pack on N threads (default: one per core)"},
        {"keep-unreadable", 0, nullptr,
         "keep the old entry of an input that cannot be read, add the rest (exit 1)"}}},
      {"d",
       qobz::tool::CommandDelete,
       "ARCHIVE NAME...",
       "Deletes the entries that the NAMEs select (shell wildcards; a folder selects everything\n"
       "below it) and copies the others over as they are. A NAME that selects nothing is an\n"
       "error (exit 1). ARCHIVE is replaced only once the new one is complete.\n",
       {}},
      {"l",
       qobz::tool::CommandList,
       "ARCHIVE",
       "Lists every entry: size, packed size, ratio, method, date, attributes, checksum, lock\n"
       "and name. `-` reads the archive from standard input.\n",
       {{"names", '1', nullptr, "print the names alone, one per line"}, kOffset}},
      {"t",
       qobz::tool::CommandTest,
       "ARCHIVE",
       "Expands every entry to nowhere and checks its size and checksum. A damaged entry is\n"
       "reported and the test goes on; the exit code is then 1. `-` reads standard input.\n",
       {kKey, kOffset, kJobs}},
      {"x",
       qobz::tool::CommandExtract,
       "ARCHIVE [MEMBER...]",
       "Extracts the entries (or those the MEMBERs select: shell wildcards matched against the\n"
       "stored names, case-sensitive; a folder selects everything below it) below DIR, making\n"
       "the folders needed. A MEMBER that selects nothing is an error. Existing files are\n"
       "replaced. Entries with absolute names are refused unless --absolute-names is given;\n"
       "names with a \"..\" segment are always refused. A damaged entry is reported, its partial\n"
       "file removed, and extraction goes on; the exit code is then 1. `-` reads standard input.\n",
       {{"directory", 'C', "DIR", "extract below DIR (default: the current folder)"},
        {"to-stdout", 'O', nullptr, "write the entries' data to standard output"},
        {"keep-old-files", 'k', nullptr, "keep existing files rather than replace them"},
        {"no-mkdirs", 0, nullptr, "do not make missing folders (a missing one is an error)"},
        {"mkdirs", 0, nullptr, "make missing folders (the default)"},
        {"check-space", 0, nullptr, "check free space before each entry"},
        {"absolute-names", 0, nullptr, "write entries with absolute names where they say"},
        kKey,
        kOffset,
        kJobs}},
      {"encode",
       qobz::tool::CommandEncode,
       "[IN [OUT]]",
       "Packs IN (default standard input) into a raw stream of the method on OUT (default\n"
       "standard output), without any archive header.\n",
       {kMethod, kBest}},
      {"decode",
       qobz::tool::CommandDecode,
       "[IN [OUT]]",
       "Unpacks a raw stream of the method. LZH and LH5 streams need --size.\n",
       {kMethod, {"size", 0, "N", "the unpacked size"}}},
      {"sfx",
       qobz::tool::CommandSfx,
       "LIBRARY ARCHIVE",
       "Writes OUT: LIBRARY, zero bytes up to the offset (default " QOBZ_SFX_OFFSET_TEXT
       ", where the\nshipped launcher looks), then ARCHIVE. Refuses a library larger than the "
       "offset.\n`qobz l OUT --offset N` lists what is inside.\n",
       {{"output", 'o', "OUT", "the file to write (required)"},
        {"offset", 0, "N", "where the archive starts"}}},
  };
  return commands;
}

void PrintUsage(FILE* to) {
  std::fprintf(to, "qobz %s: QOBZ archives\nusage:\n", QOBZ_VERSION_STRING);
  for (const Command& c : Commands())
    std::fprintf(to, "  qobz %-6s [OPTIONS] %s\n", c.name, c.operands);
  std::fprintf(to,
               "  qobz --version\n"
               "Every command takes -q/--quiet, -v/--verbose and -h/--help.\n"
               "Run `qobz COMMAND --help` for more about a command.\n");
}

void PrintHelp(const Command& c) {
  std::printf("usage: qobz %s [OPTIONS] %s\n\n%s\noptions:\n", c.name, c.operands, c.help);
  const std::vector<const OptionInfo*> all = qobz::tool::WithCommonOptions(c.options);
  std::vector<std::string> lefts;
  size_t width = 0;
  for (const OptionInfo* o : all) {
    std::string left = o->short_name ? std::string("-") + o->short_name + ", " : "    ";
    left += std::string("--") + o->long_name + (o->value ? std::string(" ") + o->value : "");
    width = std::max(width, left.size());
    lefts.push_back(left);
  }
  for (size_t i = 0; i < all.size(); ++i)
    std::printf("  %-*s  %s\n", static_cast<int>(width), lefts[i].c_str(), all[i]->help);
  std::printf("\nqobz %s\n", QOBZ_VERSION_STRING);
}

std::string Synopsis(const Command& c) {
  return std::string("qobz ") + c.name + " [OPTIONS] " + c.operands;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  // A signal during a command removes the files it is making (temporary files, partial output)
  // and ends it as the signal does.
  qobz::platform::RemoveArmedFilesOnSignals();
  std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (name == "--version" || name == "-V") {
    std::printf("qobz %s\n", QOBZ_VERSION_STRING);
    return 0;
  }
  for (const Command& c : Commands()) {
    if (name != c.name) continue;
    try {
      Args args(argc - 2, argv + 2, c.options);
      if (args.Flag("--help")) {
        PrintHelp(c);
        return 0;
      }
      if (args.Flag("--quiet")) qobz::tool::g_verbosity = qobz::tool::Verbosity::Quiet;
      if (args.Flag("--verbose")) qobz::tool::g_verbosity = qobz::tool::Verbosity::Verbose;
      return qobz::tool::FinishStandardOutput(c.run(args));
    } catch (const qobz::tool::UsageError& e) {
      std::fprintf(stderr, "qobz %s: %s\nusage: %s\n", c.name, e.what(), Synopsis(c).c_str());
      return 2;
    } catch (const std::exception& e) {
      qobz::tool::ClearProgress();
      std::fprintf(stderr, "qobz %s: %s\n", c.name, e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "qobz: unknown command \"%s\"\n", name.c_str());
  PrintUsage(stderr);
  return 2;
}
