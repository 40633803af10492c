// Dorvane.exe: the companion program that MakeBackupCD starts.
//
//   Dorvane.exe /Start
//
// Reads the settings that the launcher left under the hand-off key, backs up every file below
// "DVFolderPath" into one QOBZ archive, has VQ.EXE verify it, and posts the result code as
// "DVResult" (codes.h; texts in hcorig.hc). Source files are only ever read.
//
// Its helpers and data lie in its own folder: Krovnel.dll (the archive component), VQ.EXE (the
// verifier), Osvant03.hc (settings: "key=value" lines) and hcorig.hc (message texts: "code=text"
// lines). VQ.EXE appends its findings to hci9cd.hc there, which the launcher deletes afterwards.
//
// Where the backup goes: the folder named by $DORVANE_BACKUP_DIR when set, otherwise the folder
// that Osvant03.hc's "BackupFolder" names below the user's home folder (%USERPROFILE% on Windows,
// $HOME elsewhere). The archive is named after "DVVolume" (characters that file names cannot hold
// become '_'; an empty Volume is "Backup") with Osvant03.hc's "Extension". A backup folder that
// lies inside FolderPath is not backed up itself.
#include <cstdio>
#include <map>
#include <string>

#include "launcher/companion/codes.h"
#include "launcher/companion/krovnel.h"
#include "platform/platform.h"

namespace {

constexpr const char* kHandOffKey = "Software\\Halcrest\\Dorvane\\6.0";

using Settings = std::map<std::string, std::string>;

std::string OwnFolder() {
  std::string path = qobz::platform::OwnModulePath();
  size_t cut = path.find_last_of("\\:");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// "key=value" lines; '#' starts a comment line. Answers false when the file cannot be read or
// holds no setting.
bool ReadSettings(const std::string& path, Settings& out) {
  std::FILE* f = std::fopen(qobz::platform::NativePath(path).c_str(), "rb");
  if (!f) return false;
  char line[1024];
  while (std::fgets(line, sizeof line, f)) {
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (s.empty() || s[0] == '#') continue;
    size_t eq = s.find('=');
    if (eq == std::string::npos) continue;
    out[s.substr(0, eq)] = s.substr(eq + 1);
  }
  std::fclose(f);
  return !out.empty();
}

std::string SafeFileName(const std::string& volume) {
  std::string name;
  for (char c : volume)
    name += (static_cast<unsigned char>(c) < 32 ||
             std::string("<>:\"/\\|?*").find(c) != std::string::npos)
                ? '_'
                : c;
  while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
  return name.empty() ? "Backup" : name;
}

// Makes a folder and every missing parent; answers whether it exists afterwards.
bool MakeFolders(const std::string& folder) {
  if (folder.empty() || qobz::platform::FolderExists(folder)) return !folder.empty();
  size_t cut = folder.find_last_of("\\/");
  if (cut != std::string::npos && cut > 0 && folder[cut - 1] != ':')
    MakeFolders(folder.substr(0, cut));
  try {
    qobz::platform::MakeFolder(folder);
  } catch (...) {
  }
  return qobz::platform::FolderExists(folder);
}

std::string BackupFolder(const Settings& settings) {
  std::string folder = qobz::platform::EnvironmentValue("DORVANE_BACKUP_DIR");
  if (!folder.empty()) return folder;
#if defined(_WIN32)
  std::string home = qobz::platform::EnvironmentValue("USERPROFILE");
  const char* sep = "\\";
#else
  std::string home = qobz::platform::EnvironmentValue("HOME");
  const char* sep = "/";
#endif
  auto it = settings.find("BackupFolder");
  if (home.empty() || it == settings.end()) return {};
  return home + sep + it->second;
}

int32_t Run(qobz::platform::THandOffKey& key, const std::string& own_folder) {
  Settings settings, messages;
  if (!ReadSettings(own_folder + "Osvant03.hc", settings) ||
      !ReadSettings(own_folder + "hcorig.hc", messages))
    return dorvane::kBadSettings;

  std::string folder_path, volume;
  key.ReadString("DVFolderPath", folder_path);
  key.ReadString("DVVolume", volume);
  if (folder_path.empty()) return dorvane::kNoFolder;
  if (!qobz::platform::FolderExists(folder_path)) return dorvane::kNotAFolder;

  const std::string backup_folder = BackupFolder(settings);
  if (!MakeFolders(backup_folder)) return dorvane::kNoBackupFolder;
  const char sep = backup_folder.find('\\') != std::string::npos ? '\\' : '/';
  std::string archive = backup_folder;
  if (archive.back() != sep) archive += sep;
  archive += SafeFileName(volume) + settings["Extension"];

  auto krovnel = qobz::platform::TSharedLibrary::Load(own_folder + "Krovnel.dll");
  auto backup =
      krovnel ? reinterpret_cast<KrovnelBackupFn>(krovnel->Symbol(kKrovnelBackup)) : nullptr;
  if (!backup) return dorvane::kNoArchiveComponent;
  char method_used[4] = {};
  int32_t entries = 0;
  int32_t code = backup(folder_path.c_str(), backup_folder.c_str(), archive.c_str(),
                        settings["Method"].c_str(), method_used, &entries);
  if (code != dorvane::kDone) return code;

  int verified =
      qobz::platform::RunProcessAndWait({own_folder + "VQ.EXE", archive, own_folder + "hci9cd.hc"});
  if (verified < 0 || verified == 2) return dorvane::kVerifierMissing;
  if (verified != 0) {
    // An archive that does not read back is no backup; the source files are untouched.
    qobz::platform::DeleteFile(archive);
    return dorvane::kVerifyFailed;
  }
  std::printf("Dorvane: %d files of %s backed up into %s (%s)\n", static_cast<int>(entries),
              folder_path.c_str(), archive.c_str(), method_used);
  return dorvane::kDone;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) != "/Start") {
    std::fprintf(stderr, "usage: Dorvane.exe /Start (started by MakeBackupCD)\n");
    return 2;
  }
  std::string why;
  auto key = qobz::platform::OpenHandOffKey(kHandOffKey, &why);
  if (!key) {  // nowhere to post a result
    std::fprintf(stderr, "Dorvane: %s\n", why.c_str());
    return 1;
  }
  const std::string own_folder = OwnFolder();
  int32_t code = dorvane::kInternal;
  try {
    code = Run(*key, own_folder);
  } catch (...) {
    code = dorvane::kInternal;
  }
  Settings messages;
  if (code != dorvane::kDone && ReadSettings(own_folder + "hcorig.hc", messages)) {
    auto it = messages.find(std::to_string(code));
    std::fprintf(stderr, "Dorvane: %s\n",
                 it != messages.end() ? it->second.c_str() : "unknown failure");
  }
  key->WriteString("DVResult", std::to_string(code));
  return code == dorvane::kDone ? 0 : 1;
}
