// A scripted stand-in for Dorvane.exe, packed into launcher libraries by the end-to-end tests.
//
// It appends what it saw to the file named by $QOBZ_TEST_RECORD: a line "argv=" with its
// arguments joined by '|', a line "cmdline=" with them joined by blanks, one line per value of the
// hand-off key ("DVVolume=..."), and a line "folder=" with the names in its own folder, sorted and
// joined by blanks. Then it runs the script
// found in "DVTitle": comma-separated actions, in order:
//   sleep:MS      sleep MS milliseconds
//   post:TEXT     write "DVResult" = TEXT
//   delete        delete "DVResult"
//   lock:NAME     open NAME in its own folder and keep it open until the program ends (on Windows
//                 this keeps the file from being deleted)
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "qobz/stream.h"

int main(int argc, char** argv) {
  std::string why;
  auto key = qobz::platform::OpenHandOffKey("Software\\Halcrest\\Dorvane\\6.0", &why);
  if (!key) {
    std::fprintf(stderr, "qobz_test_companion: %s\n", why.c_str());
    return 1;
  }
  std::string own = qobz::platform::OwnModulePath();
  std::string folder = own.substr(0, own.find_last_of("\\:") + 1);
  std::string record = qobz::platform::EnvironmentValue("QOBZ_TEST_RECORD");
  if (!record.empty()) {
    if (std::FILE* f = std::fopen(record.c_str(), "a")) {
      std::string args;
      for (int i = 0; i < argc; ++i) args += (i ? "|" : "") + std::string(argv[i]);
      std::string line;
      for (int i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(argv[i]);
      std::fprintf(f, "argv=%s\n", args.c_str());
      // The arguments joined by blanks: the command line, as the launcher formed it (Windows
      // splits an unquoted path with blanks into several arguments).
      std::fprintf(f, "cmdline=%s\n", line.c_str());
      for (const char* name :
           {"DVVolume", "DVTitle", "DVColorForm", "DVColorText", "DVFolderPath", "DVResult"}) {
        std::string value = "<missing>";
        key->ReadString(name, value);
        std::fprintf(f, "%s=%s\n", name, value.c_str());
      }
      std::vector<qobz::platform::FolderEntry> entries;
      qobz::platform::ListFolder(folder, entries);
      std::vector<std::string> names;
      for (const auto& entry : entries) names.push_back(entry.name);
      std::sort(names.begin(), names.end());
      std::string listing;
      for (const std::string& name : names) listing += (listing.empty() ? "" : " ") + name;
      std::fprintf(f, "folder=%s\n", listing.c_str());
      std::fclose(f);
    }
  }
  std::string script;
  key->ReadString("DVTitle", script);
  std::vector<std::unique_ptr<qobz::TFileStream>> locks;
  size_t pos = 0;
  while (pos <= script.size()) {
    size_t end = script.find(',', pos);
    if (end == std::string::npos) end = script.size();
    std::string action = script.substr(pos, end - pos);
    pos = end + 1;
    size_t colon = action.find(':');
    std::string verb = action.substr(0, colon);
    std::string arg = colon == std::string::npos ? "" : action.substr(colon + 1);
    if (verb == "sleep") {
      qobz::platform::SleepMs(static_cast<uint32_t>(std::stoul(arg)));
    } else if (verb == "post") {
      key->WriteString("DVResult", arg);
    } else if (verb == "delete") {
      key->DeleteValue("DVResult");
    } else if (verb == "lock") {
      try {
        locks.push_back(qobz::TFileStream::OpenRead(folder + arg));
      } catch (...) {
        return 2;
      }
    }
  }
  return 0;
}
