// The launch sequence, step by step.
#include "launcher/launch.h"

#include <algorithm>

#include "launcher/unit_compress_in.h"

namespace qobz::launcher {

namespace {

std::string Text(const char* s) {
  return s ? std::string(s) : std::string();
}

// Removes the companion file set from the module's folder in table order. A file that is missing
// or still in use stays where it is; that never fails the call.
void DeleteCompanionFiles(TLaunchPlatform& system, const std::string& module_folder) {
  for (const char* name : kCompanionFiles) system.DeleteFile(module_folder + name);
}

// Stores one value of the hand-off key. The old value goes first, so that a value that cannot be
// stored (one over the store's limit, say) is missing rather than the previous call's, which the
// companion would take for this call's.
bool StoreValue(platform::THandOffKey& key, const char* name, const std::string& value) {
  key.DeleteValue(name);
  return key.WriteString(name, value);
}

// Whether the unpacking wrote `path`: names compare as the file system compares them, so on
// Windows an entry stored as "dorvane.EXE" is the companion program.
bool Wrote(const std::vector<std::string>& written, const std::string& path) {
  return std::any_of(written.begin(), written.end(),
                     [&](const std::string& w) { return platform::SameFileName(w, path); });
}

// One poll: a value that is missing, unreadable or not an integer reads as "still running".
int32_t ReadResult(TLaunchPlatform& system) {
  std::unique_ptr<platform::THandOffKey> key = system.OpenKey(kHandOffKey);
  std::string text;
  if (!key || !key->ReadString(kResultValue, text)) return kResultRunning;
  return ParseResult(text).value_or(kResultRunning);
}

int32_t Run(TLaunchPlatform& system, const TLaunchSettings& settings) {
  // 1. The settings and "still running" go out first, on every call, before any check. Without
  // the key the companion could neither read them nor post a result; without every value it would
  // run on a setting that is not the caller's. Each value is tried, so none is left from before.
  const std::string folder_path = Text(settings.FolderPath);
  {
    std::unique_ptr<platform::THandOffKey> key = system.OpenKey(kHandOffKey);
    if (!key) return kResultNotPrepared;
    const char* values[5] = {settings.Volume, settings.Title, settings.ColorForm,
                             settings.ColorText, settings.FolderPath};
    bool stored = true;
    for (int i = 0; i < 5; ++i)
      if (!StoreValue(*key, kSettingValues[i], Text(values[i]))) stored = false;
    if (!StoreValue(*key, kResultValue, std::to_string(kResultRunning))) stored = false;
    if (!stored) return kResultNotPrepared;
  }

  // 2. and 3. Where the launcher lives, and no stale companion files there. Without a folder of
  // its own the launcher touches nothing (the bare names would land in the host's current folder),
  // and it runs nothing from a folder where others may put files, or one that others could swap
  // for another. From the check on, the folder is reached only through what was checked.
  const std::string found_path = system.ModulePath();
  const std::string found_folder = FolderOf(found_path);
  if (found_folder.empty()) return kResultNotPrepared;
  const std::string module_folder = system.HoldFolder(found_folder);
  if (module_folder.empty()) return kResultNotPrepared;
  const std::string module_path = module_folder + found_path.substr(found_folder.size());
  DeleteCompanionFiles(system, module_folder);

  // 4.
  if (module_path.empty() || !system.FileExists(module_path)) return kResultNotPrepared;
  if (folder_path.empty() || !system.FolderExists(folder_path)) return kResultNotPrepared;

  // 5. Every entry comes out of the archive (the companion's data files too). An error raised by
  // the archive component ends the run like any other failure to prepare it: nothing may cross the
  // exported function.
  std::vector<std::string> written;
  bool unpacked = false;
  try {
    unpacked = system.Unpack(module_path, written);
  } catch (...) {
    unpacked = false;
  }
  if (!unpacked) return kResultNotPrepared;

  // 6. and 7. Each file must be there and must be the one this unpacking wrote: a file that the
  // unpacking could not replace (one that step 3 could not delete either, or one put there since)
  // belongs to someone else, and starting it would run their program as the caller.
  for (int i = 0; i < kFilesFromArchive; ++i) {
    const std::string path = module_folder + kCompanionFiles[i];
    if (!system.FileExists(path)) return kResultNotPrepared;
    if (!Wrote(written, path)) {
      DeleteCompanionFiles(system, module_folder);
      return kResultNotPrepared;
    }
  }
  const std::string program = module_folder + kCompanionProgram;
  if (!system.FileExists(program)) return kResultNotPrepared;

  // 8. A companion that cannot be started would never post a result.
  if (!system.StartProgram(kCompanionProgram, kStartSwitch)) return kResultNotPrepared;

  // 9. Wait for as long as it takes: the companion program decides when the run is over.
  int32_t result = kResultRunning;
  do {
    system.Sleep(kPollIntervalMs);
    result = ReadResult(system);
  } while (result >= kResultRunning);

  // 10.
  system.Sleep(kFinalPauseMs);
  DeleteCompanionFiles(system, module_folder);
  return result;
}

}  // namespace

std::optional<int32_t> ParseResult(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t RunLaunchSequence(TLaunchPlatform& system, const TLaunchSettings& settings) noexcept {
  try {
    return Run(system, settings);
  } catch (...) {
    // Only running out of memory gets here; the host still gets a result code.
    return kResultNotPrepared;
  }
}

TSystemLaunchPlatform::TSystemLaunchPlatform(int64_t archive_offset)
    : archive_offset_(archive_offset) {}

std::unique_ptr<platform::THandOffKey> TSystemLaunchPlatform::OpenKey(const std::string& key) {
  return platform::OpenHandOffKey(key);
}
std::string TSystemLaunchPlatform::ModulePath() {
  return platform::OwnModulePath();
}
bool TSystemLaunchPlatform::FileExists(const std::string& path) {
  return platform::FileExists(path);
}
bool TSystemLaunchPlatform::FolderExists(const std::string& path) {
  return platform::FolderExists(path);
}
std::string TSystemLaunchPlatform::HoldFolder(const std::string& path) {
  held_ = platform::TTrustedFolder::Open(path);
  return held_ ? held_->Path() : std::string();
}
bool TSystemLaunchPlatform::DeleteFile(const std::string& path) {
  return platform::DeleteFile(path);
}
bool TSystemLaunchPlatform::Unpack(const std::string& module_path,
                                   std::vector<std::string>& written) {
  return UnpackAppendedArchive(module_path, archive_offset_, &written);
}
bool TSystemLaunchPlatform::StartProgram(const std::string& name, const std::string& argument) {
  return held_ && held_->StartProgram(name, argument);
}
void TSystemLaunchPlatform::Sleep(uint32_t milliseconds) {
  platform::SleepMs(milliseconds);
}

}  // namespace qobz::launcher
