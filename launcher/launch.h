// The launch sequence behind MakeBackupCD: hand the settings to the companion program through the
// hand-off key, unpack the companion's files from the launcher's own file, start the companion,
// wait for the result it posts, clean up and answer that result.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qobz::launcher {

constexpr const char* kHandOffKey = "Software\\Halcrest\\Dorvane\\6.0";
constexpr const char* kResultValue = "DVResult";
// The value names of the five settings, in the order of MakeBackupCD's parameters.
constexpr const char* kSettingValues[5] = {"DVVolume", "DVTitle", "DVColorForm", "DVColorText",
                                           "DVFolderPath"};

// The run could not be prepared (before the companion program was started).
constexpr int32_t kResultNotPrepared = 2;
// "Still running": written before the run; the companion's result is any value below it.
constexpr int32_t kResultRunning = 100;

// The companion file set, in the order in which it is checked and deleted. The first five come
// from the archive; the last is only deleted (a run may leave it behind).
constexpr const char* kCompanionFiles[6] = {"Dorvane.exe", "Krovnel.dll", "Osvant03.hc",
                                            "VQ.EXE",      "hcorig.hc",   "hci9cd.hc"};
constexpr int kFilesFromArchive = 5;
constexpr const char* kCompanionProgram = "Dorvane.exe";
constexpr const char* kStartSwitch = "/Start";

constexpr uint32_t kPollIntervalMs = 1000;
constexpr uint32_t kFinalPauseMs = 2000;

// What the launch sequence asks of the system. The real one goes to the platform layer; tests
// put a scripted one in its place.
class TLaunchPlatform {
 public:
  virtual ~TLaunchPlatform() = default;
  virtual std::unique_ptr<platform::THandOffKey> OpenKey(const std::string& key) = 0;
  // The launcher's own file, as an archive-style path; empty when unknown.
  virtual std::string ModulePath() = 0;
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  // Checks the folder (see platform::TTrustedFolder) and holds it until the next call; answers the
  // path that names the held folder from then on, or empty when the folder is not trusted.
  virtual std::string HoldFolder(const std::string& path) = 0;
  virtual bool DeleteFile(const std::string& path) = 0;
  // Expands every entry of the appended archive; on a normal end `written` holds the paths of the
  // files written (see UnpackAppendedArchive). May raise.
  virtual bool Unpack(const std::string& module_path, std::vector<std::string>& written) = 0;
  // Starts program `name` of the held folder with one argument, from the very file checked.
  virtual bool StartProgram(const std::string& name, const std::string& argument) = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// The platform layer of the running system, unpacking at `archive_offset`.
class TSystemLaunchPlatform : public TLaunchPlatform {
 public:
  explicit TSystemLaunchPlatform(int64_t archive_offset);
  std::unique_ptr<platform::THandOffKey> OpenKey(const std::string& key) override;
  std::string ModulePath() override;
  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  std::string HoldFolder(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  bool Unpack(const std::string& module_path, std::vector<std::string>& written) override;
  bool StartProgram(const std::string& name, const std::string& argument) override;
  void Sleep(uint32_t milliseconds) override;

 private:
  int64_t archive_offset_;
  std::unique_ptr<platform::TTrustedFolder> held_;
};

// The five settings; a null pointer counts as the empty string.
struct TLaunchSettings {
  const char* Volume = nullptr;
  const char* Title = nullptr;
  const char* ColorForm = nullptr;
  const char* ColorText = nullptr;
  const char* FolderPath = nullptr;
};

// Runs the whole sequence and answers the result code. Never raises: every failure before the
// companion program runs, an error while unpacking included, answers kResultNotPrepared.
int32_t RunLaunchSequence(TLaunchPlatform& system, const TLaunchSettings& settings) noexcept;

// The posted result: the decimal text of a signed 32-bit integer (an optional sign, then digits,
// nothing else). Anything else is no result.
std::optional<int32_t> ParseResult(const std::string& text);

}  // namespace qobz::launcher
