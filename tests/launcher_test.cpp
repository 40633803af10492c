// The launch sequence against a scripted system: every call it makes is logged, the hand-off key
// lives in memory, sleeps only advance a script, and the companion program is a script of values
// posted at each poll. Files are real (a temporary folder), so the unpacking runs the real archive
// component on a real launcher file.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "launcher/launch.h"
#include "launcher/unit_compress_in.h"
#include "platform/platform.h"
#include "qobz/stream.h"
#include "qobz/writer.h"

namespace fs = std::filesystem;
using namespace qobz::launcher;

namespace {

constexpr int64_t kTestOffset = 512;
constexpr const char* kDelete = "<delete>";
constexpr const char* kKeep = "<keep>";
constexpr fs::perms kPrivateFolder = fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec;

std::string ArchiveStyle(const fs::path& p) {
  std::string s = p.string();
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// Points the POSIX hand-off store at a scratch folder for as long as it lives.
class ScopedStore {
 public:
  explicit ScopedStore(const fs::path& root) {
    if (const char* old = std::getenv("QOBZ_HANDOFF_DIR")) old_ = old;
    ::setenv("QOBZ_HANDOFF_DIR", root.c_str(), 1);
  }
  ~ScopedStore() {
    if (old_)
      ::setenv("QOBZ_HANDOFF_DIR", old_->c_str(), 1);
    else
      ::unsetenv("QOBZ_HANDOFF_DIR");
  }

 private:
  std::optional<std::string> old_;
};

// Whether the caller's primary group holds the caller alone, as the user database says: a user
// private group, or root's group on most systems. A folder that only such a group may write to
// besides its owner is the owner's alone.
bool PrimaryGroupIsPrivate() {
  const passwd* user = ::getpwuid(::geteuid());
  if (!user) return false;
  const std::string me = user->pw_name;
  const group* primary = ::getgrgid(user->pw_gid);
  if (!primary) return false;
  for (char** member = primary->gr_mem; *member; ++member)
    if (me != *member) return false;
  return true;
}

// A group of the caller's other than its primary one (any group for root), if there is one.
std::optional<gid_t> OtherGroup() {
  const passwd* user = ::getpwuid(::geteuid());
  if (!user) return std::nullopt;
  if (::geteuid() == 0) return user->pw_gid == 65534 ? 65533 : 65534;
  gid_t groups[256];
  int n = ::getgroups(256, groups);
  for (int i = 0; i < n; ++i)
    if (groups[i] != user->pw_gid) return groups[i];
  return std::nullopt;
}

std::vector<uint8_t> MakeArchive(const Entries& entries) {
  qobz::TMemoryStream out;
  qobz::TCompress compress;
  qobz::TArchiveWriter writer(compress, out, qobz::kMethodStored);
  for (const auto& [name, text] : entries) {
    qobz::TMemoryStream source(std::vector<uint8_t>(text.begin(), text.end()));
    writer.AddEntry(name, source, 0x50210000u, 0x20);
  }
  writer.Finish();
  return out.Data();
}

Entries FullSet() {
  return {{"Dorvane.exe", "companion program"},
          {"Krovnel.dll", "archive component"},
          {"Osvant03.hc", "Method=LH5\n"},
          {"VQ.EXE", "verifier"},
          {"hcorig.hc", "0=done\n"}};
}

class ScriptedSystem;

class ScriptedKey : public qobz::platform::THandOffKey {
 public:
  explicit ScriptedKey(ScriptedSystem& system) : system_(system) {}
  ~ScriptedKey() override;
  bool WriteString(const std::string& name, const std::string& value) override;
  bool ReadString(const std::string& name, std::string& value) override;
  bool DeleteValue(const std::string& name) override;

 private:
  ScriptedSystem& system_;
};

class ScriptedSystem : public TLaunchPlatform {
 public:
  // Scripted behaviour.
  std::string module_path;
  bool key_fails = false;
  bool real_store = false;               // the key is the POSIX store's ($QOBZ_HANDOFF_DIR)
  std::set<std::string> refused_values;  // values the key cannot store
  bool start_fails = false;
  std::set<std::string> locked;    // files that cannot be deleted
  int refuse_exists_call = -1;     // this FileExists call (0-based) answers false
  std::vector<std::string> polls;  // what the companion has posted before each poll
  // Observations.
  std::vector<std::string> log;
  std::map<std::string, std::string> values;
  std::vector<uint32_t> sleeps;
  bool script_ran_out = false;
  std::vector<std::string> folder_at_start;  // the module folder's names when the companion starts

  std::unique_ptr<qobz::platform::THandOffKey> OpenKey(const std::string& key) override {
    log.push_back("open " + key);
    if (key_fails) return nullptr;
    if (real_store) return qobz::platform::OpenHandOffKey(key);
    return std::make_unique<ScriptedKey>(*this);
  }
  std::string ModulePath() override {
    log.push_back("module");
    return module_path;
  }
  bool FileExists(const std::string& path) override {
    log.push_back("file? " + Name(path));
    if (exists_calls_++ == refuse_exists_call) return false;
    return qobz::platform::FileExists(path);
  }
  bool FolderExists(const std::string& path) override {
    log.push_back("folder? " + path);
    return qobz::platform::FolderExists(path);
  }
  std::string HoldFolder(const std::string& path) override {
    log.push_back("shared? " + path);
    return qobz::platform::FolderWritableByOthers(path) ? std::string() : path;
  }
  bool DeleteFile(const std::string& path) override {
    log.push_back("delete " + Name(path));
    if (locked.count(Name(path))) return false;
    return qobz::platform::DeleteFile(path);
  }
  bool Unpack(const std::string& path, std::vector<std::string>& files) override {
    log.push_back("unpack");
    return UnpackAppendedArchive(path, kTestOffset, &files);
  }
  bool StartProgram(const std::string& name, const std::string& argument) override {
    log.push_back("start " + FolderOf(module_path) + name + " " + argument);
    std::vector<qobz::platform::FolderEntry> entries;
    qobz::platform::ListFolder(FolderOf(module_path), entries);
    folder_at_start.clear();
    for (const auto& entry : entries) folder_at_start.push_back(entry.name);
    std::sort(folder_at_start.begin(), folder_at_start.end());
    started_ = !start_fails;
    return started_;
  }
  void Sleep(uint32_t ms) override {
    log.push_back("sleep " + std::to_string(ms));
    sleeps.push_back(ms);
    if (!started_ || ms != kPollIntervalMs) return;
    // Running out of script ends a run that would otherwise wait for ever; tests check that this
    // never happens.
    const bool ran_out = next_poll_ == polls.size();
    if (ran_out) script_ran_out = true;
    const std::string posted = ran_out ? "-99" : polls[next_poll_++];
    if (posted == kKeep) return;
    if (real_store) {
      std::unique_ptr<qobz::platform::THandOffKey> key =
          qobz::platform::OpenHandOffKey(kHandOffKey);
      if (key && posted == kDelete) key->DeleteValue(kResultValue);
      if (key && posted != kDelete) key->WriteString(kResultValue, posted);
    } else if (posted == kDelete) {
      values.erase(kResultValue);
    } else {
      values[kResultValue] = posted;
    }
  }

  // The log lines of one kind ("delete ", "sleep ", ...), in order.
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : log)
      if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    return out;
  }
  size_t IndexOf(const std::string& line) const {
    for (size_t i = 0; i < log.size(); ++i)
      if (log[i] == line) return i;
    return log.size();
  }

 private:
  static std::string Name(const std::string& path) {
    return path.substr(path.find_last_of('\\') + 1);
  }
  bool started_ = false;
  size_t next_poll_ = 0;
  int exists_calls_ = 0;
};

ScriptedKey::~ScriptedKey() {
  system_.log.push_back("close");
}
bool ScriptedKey::WriteString(const std::string& name, const std::string& value) {
  system_.log.push_back("write " + name + "=" + value);
  if (system_.refused_values.count(name)) return false;
  system_.values[name] = value;
  return true;
}
bool ScriptedKey::ReadString(const std::string& name, std::string& value) {
  system_.log.push_back("read " + name);
  auto it = system_.values.find(name);
  if (it == system_.values.end()) return false;
  value = it->second;
  return true;
}
bool ScriptedKey::DeleteValue(const std::string& name) {
  system_.log.push_back("clear " + name);
  return system_.values.erase(name) > 0;
}

const std::vector<std::string> kSetInOrder = {"Dorvane.exe", "Krovnel.dll", "Osvant03.hc",
                                              "VQ.EXE",      "hcorig.hc",   "hci9cd.hc"};

class LaunchSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("qobz-launch-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    module_folder_ = root_ / "Program Files" / "Host App";
    source_ = root_ / "source";
    fs::create_directories(module_folder_);
    fs::create_directories(source_);
    fs::permissions(module_folder_, kPrivateFolder);  // whatever the umask
    module_file_ = module_folder_ / "Launcher.dll";
    system_.module_path = ArchiveStyle(module_file_);
    folder_path_ = source_.string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // The launcher file: some "code", zero bytes up to the offset, then the archive.
  void WriteLauncher(const std::vector<uint8_t>& archive, int64_t length_without_archive = -1) {
    std::vector<uint8_t> bytes(64, 0xC3);
    bytes.resize(
        static_cast<size_t>(length_without_archive < 0 ? kTestOffset : length_without_archive), 0);
    bytes.insert(bytes.end(), archive.begin(), archive.end());
    std::ofstream(module_file_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  void PutFile(const std::string& name, const std::string& text = "stale") {
    std::ofstream(module_folder_ / name) << text;
  }
  bool Present(const std::string& name) const { return fs::exists(module_folder_ / name); }

  int32_t Run(const char* folder_path, const char* title = "Backup of the week") {
    TLaunchSettings s;
    s.Volume = "Vol 7";
    s.Title = title;
    s.ColorForm = "clBtnFace";
    s.ColorText = nullptr;
    s.FolderPath = folder_path;
    return RunLaunchSequence(system_, s);
  }
  int32_t Run() { return Run(folder_path_.c_str()); }

  // The run ended with 2 before the companion program started: no start, no sleep, the set
  // deleted once only.
  void ExpectNotPrepared(int32_t result, size_t deletes = 6) {
    EXPECT_EQ(result, kResultNotPrepared);
    EXPECT_TRUE(system_.Lines("start ").empty());
    EXPECT_TRUE(system_.sleeps.empty());
    EXPECT_EQ(system_.Lines("delete ").size(), deletes);
    EXPECT_EQ(system_.values[kResultValue], "100");
  }

  fs::path root_, module_folder_, source_, module_file_;
  std::string folder_path_;
  ScriptedSystem system_;
};

TEST_F(LaunchSequence, SettingsAndRunningMarkAreWrittenBeforeAnyCheck) {
  int32_t result = Run(nullptr);
  ExpectNotPrepared(result);
  // Each value is cleared before it is written: one that cannot be stored is left missing.
  const std::vector<std::string> head = {"open Software\\Halcrest\\Dorvane\\6.0",
                                         "clear DVVolume",
                                         "write DVVolume=Vol 7",
                                         "clear DVTitle",
                                         "write DVTitle=Backup of the week",
                                         "clear DVColorForm",
                                         "write DVColorForm=clBtnFace",
                                         "clear DVColorText",
                                         "write DVColorText=",
                                         "clear DVFolderPath",
                                         "write DVFolderPath=",
                                         "clear DVResult",
                                         "write DVResult=100",
                                         "close",
                                         "module"};
  ASSERT_GE(system_.log.size(), head.size());
  EXPECT_EQ(std::vector<std::string>(system_.log.begin(), system_.log.begin() + head.size()), head);
}

// A value that cannot be stored ends the call with 2 before anything else, and no value of an
// earlier call is left for the companion to take for this call's: each of the six refused in
// turn by a scripted key, and a title one byte over the POSIX store's limit.
TEST_F(LaunchSequence, ValueThatCannotBeStoredYields2AndLeavesNoStaleValue) {
  WriteLauncher(MakeArchive(FullSet()));
  std::vector<std::string> names(std::begin(kSettingValues), std::end(kSettingValues));
  names.push_back(kResultValue);
  const std::string too_long(qobz::platform::kHandOffValueLimit + 1, 't');
  const ScopedStore store(root_ / "store");
  for (size_t refused = 0; refused <= names.size(); ++refused) {
    const bool real = refused == names.size();
    SCOPED_TRACE(real ? "title over the store's limit" : names[refused]);
    system_ = ScriptedSystem();
    system_.module_path = ArchiveStyle(module_file_);
    system_.polls = {"0"};
    system_.real_store = real;
    std::unique_ptr<qobz::platform::THandOffKey> key =
        real ? qobz::platform::OpenHandOffKey(kHandOffKey) : nullptr;
    for (const std::string& name : names) {
      if (real) {
        ASSERT_TRUE(key && key->WriteString(name, "stale"));
      } else {
        system_.values[name] = "stale";
      }
    }
    if (!real) system_.refused_values = {names[refused]};
    EXPECT_EQ(Run(folder_path_.c_str(), real ? too_long.c_str() : "title"), kResultNotPrepared);
    EXPECT_TRUE(system_.Lines("module").empty());  // ended before looking for its own file
    EXPECT_TRUE(system_.Lines("unpack").empty());
    EXPECT_TRUE(system_.Lines("start ").empty());
    const std::string missing = real ? "DVTitle" : names[refused];
    for (const std::string& name : names) {
      std::string value = "<missing>";
      if (real)
        key->ReadString(name, value);
      else if (system_.values.count(name))
        value = system_.values[name];
      if (name == missing)
        EXPECT_EQ(value, "<missing>") << name;
      else
        EXPECT_NE(value, "stale") << name;
    }
  }
}

TEST_F(LaunchSequence, StaleCompanionFilesAreDeletedInTableOrderBeforeTheChecks) {
  for (const std::string& name : kSetInOrder) PutFile(name);
  system_.locked = {"Krovnel.dll"};  // one that cannot go is passed over
  Run("");
  EXPECT_EQ(system_.Lines("delete "), kSetInOrder);
  EXPECT_LT(system_.IndexOf("delete hci9cd.hc"), system_.IndexOf("file? Launcher.dll"));
  EXPECT_FALSE(Present("Dorvane.exe"));
  EXPECT_TRUE(Present("Krovnel.dll"));
  EXPECT_FALSE(Present("hci9cd.hc"));
}

TEST_F(LaunchSequence, EmptyOrMissingFolderPathYields2WithoutUnpacking) {
  WriteLauncher(MakeArchive(FullSet()));
  for (const char* folder : {static_cast<const char*>(nullptr), "", "/no/such/folder/anywhere"}) {
    system_ = ScriptedSystem();
    system_.module_path = ArchiveStyle(module_file_);
    ExpectNotPrepared(Run(folder));
    EXPECT_TRUE(system_.Lines("unpack").empty());
    EXPECT_EQ(system_.values["DVFolderPath"], folder ? folder : "");
  }
  // A file is not a folder.
  system_ = ScriptedSystem();
  system_.module_path = ArchiveStyle(module_file_);
  ExpectNotPrepared(Run(module_file_.string().c_str()));
  EXPECT_TRUE(system_.Lines("unpack").empty());
}

// Without a folder of its own, or in a folder where others may put files, the launcher touches
// and runs nothing. A folder that its group may write is the owner's alone when that group is the
// owner's private group (umask 002); any other group, or others, may not write.
TEST_F(LaunchSequence, ModuleFolderUnknownOrWritableByOthersYields2AndDeletesNothing) {
  WriteLauncher(MakeArchive(FullSet()));
  const fs::path host_folder = fs::current_path();
  fs::current_path(root_);
  std::ofstream("Dorvane.exe") << "in the host's current folder";
  const passwd* me = ::getpwuid(::geteuid());
  ASSERT_NE(me, nullptr);
  const gid_t primary = me->pw_gid;
  const std::optional<gid_t> other_group = OtherGroup();
  const bool private_group = PrimaryGroupIsPrivate();
  constexpr fs::perms kGroupWrite = kPrivateFolder | fs::perms::group_write;
  struct Case {
    const char* what;
    std::string module_path;
    fs::perms mode;
    std::optional<gid_t> group;  // none: skipped
    bool other_owner;
    bool refused;
  } cases[] = {
      {"path unknown", "", kPrivateFolder, primary, false, true},
      {"no folder part", "Launcher.dll", kPrivateFolder, primary, false, true},
      {"others may write (sticky)", system_.module_path, fs::perms::all | fs::perms::sticky_bit,
       primary, false, true},
      {"another group may write", system_.module_path, kGroupWrite, other_group, false, true},
      {"others may write", system_.module_path, kPrivateFolder | fs::perms::others_write, primary,
       false, true},
      {"another owner", system_.module_path, kPrivateFolder, primary, true, true},
      {"the owner's private group may write", system_.module_path, kGroupWrite, primary, false,
       !private_group},
      {"the owner's private group may write (set-group-ID)", system_.module_path,
       kGroupWrite | fs::perms::set_gid, primary, false, !private_group},
      {"another group may only read", system_.module_path, kPrivateFolder, other_group, false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.group || (c.other_owner && ::geteuid() != 0)) continue;  // only root gives away
    system_ = ScriptedSystem();
    system_.module_path = c.module_path;
    system_.polls = {"0"};
    PutFile("VQ.EXE");
    if (::chown(module_folder_.c_str(), c.other_owner ? 65534 : ::geteuid(), *c.group) != 0)
      continue;  // a group the caller cannot give its folder
    fs::permissions(module_folder_, c.mode);
    if (c.refused) {
      EXPECT_EQ(Run(), kResultNotPrepared);
      EXPECT_TRUE(system_.Lines("delete ").empty());
      EXPECT_TRUE(system_.Lines("unpack").empty());
      EXPECT_TRUE(system_.Lines("start ").empty());
      EXPECT_TRUE(Present("VQ.EXE"));
    } else {
      EXPECT_EQ(Run(), 0);
      EXPECT_EQ(system_.Lines("start ").size(), 1u);
    }
    EXPECT_TRUE(fs::exists("Dorvane.exe"));
    ASSERT_EQ(::chown(module_folder_.c_str(), ::geteuid(), primary), 0);
    fs::permissions(module_folder_, kPrivateFolder);
  }
  fs::current_path(host_folder);
}

// A companion file that the unpacking could not write is someone else's: a planted read-only file
// that the clean-up cannot delete either. Nothing is started, and what the unpacking wrote goes.
TEST_F(LaunchSequence, PlantedCompanionFileThatCannotBeReplacedYields2AndCleansUp) {
  WriteLauncher(MakeArchive(FullSet()));
  for (const char* planted : {"Dorvane.exe", "hcorig.hc"}) {
    SCOPED_TRACE(planted);
    system_ = ScriptedSystem();
    system_.module_path = ArchiveStyle(module_file_);
    system_.locked = {planted};
    PutFile(planted, "planted");
    fs::permissions(module_folder_ / planted,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ExpectNotPrepared(Run(), 12);
    std::ifstream in(module_folder_ / planted);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "planted");
    for (const std::string& name : kSetInOrder)
      if (name != planted) {
        EXPECT_FALSE(Present(name)) << name;
      }
    fs::permissions(module_folder_ / planted, fs::perms::owner_write, fs::perm_options::add);
    fs::remove(module_folder_ / planted);
  }
}

TEST_F(LaunchSequence, MissingOwnFileYields2) {
  system_.module_path = ArchiveStyle(module_folder_ / "Gone.dll");
  ExpectNotPrepared(Run());
  EXPECT_TRUE(system_.Lines("unpack").empty());
  EXPECT_TRUE(system_.Lines("folder? ").empty());
}

TEST_F(LaunchSequence, LibraryWithoutArchiveUnpacksNothingAndYields2) {
  WriteLauncher({}, 100);  // shorter than the offset
  ExpectNotPrepared(Run());
  EXPECT_EQ(system_.Lines("unpack").size(), 1u);
  EXPECT_EQ(system_.Lines("file? "), (std::vector<std::string>{"Launcher.dll", "Dorvane.exe"}));
}

TEST_F(LaunchSequence, ArchiveWithoutHcorigYields2AndLeavesTheOtherFiles) {
  Entries set = FullSet();
  set.pop_back();
  WriteLauncher(MakeArchive(set));
  ExpectNotPrepared(Run());
  EXPECT_EQ(system_.Lines("file? "),
            (std::vector<std::string>{"Launcher.dll", "Dorvane.exe", "Krovnel.dll", "Osvant03.hc",
                                      "VQ.EXE", "hcorig.hc"}));
  for (const char* name : {"Dorvane.exe", "Krovnel.dll", "Osvant03.hc", "VQ.EXE"})
    EXPECT_TRUE(Present(name)) << name;
}

TEST_F(LaunchSequence, CompanionGoneJustBeforeTheStartYields2) {
  WriteLauncher(MakeArchive(FullSet()));
  system_.refuse_exists_call = 6;  // own file, five set files, then the program itself
  ExpectNotPrepared(Run());
  EXPECT_EQ(system_.Lines("file? ").back(), "Dorvane.exe");
  EXPECT_EQ(system_.Lines("file? ").size(), 7u);
}

TEST_F(LaunchSequence, ExpansionErrorYields2WithoutEscaping) {
  std::vector<uint8_t> archive = MakeArchive(FullSet());
  archive.back() ^= 0x01;  // the last stored byte of hcorig.hc: a checksum mismatch
  WriteLauncher(archive);
  ExpectNotPrepared(Run());
  EXPECT_TRUE(Present("VQ.EXE"));                     // written before the failing entry
  EXPECT_TRUE(system_.Lines("file? ").size() == 1u);  // no presence check after a failed unpack
}

TEST_F(LaunchSequence, DamagedArchiveHeaderYields2) {
  std::vector<uint8_t> archive = MakeArchive(FullSet());
  archive[0] = 'X';
  WriteLauncher(archive);
  ExpectNotPrepared(Run());
  EXPECT_FALSE(Present("Dorvane.exe"));
}

TEST_F(LaunchSequence, CompanionThatCannotStartYields2AtOnce) {
  WriteLauncher(MakeArchive(FullSet()));
  system_.start_fails = true;
  int32_t result = Run();
  EXPECT_EQ(result, kResultNotPrepared);
  EXPECT_EQ(system_.Lines("start ").size(), 1u);
  EXPECT_TRUE(system_.sleeps.empty());
  EXPECT_EQ(system_.Lines("delete ").size(), 6u);
}

TEST_F(LaunchSequence, HandOffKeyThatCannotBeOpenedYields2) {
  system_.key_fails = true;
  EXPECT_EQ(Run(), kResultNotPrepared);
  EXPECT_EQ(system_.log, (std::vector<std::string>{"open Software\\Halcrest\\Dorvane\\6.0"}));
}

TEST_F(LaunchSequence, CompletedRunReturnsThePostedValueAfterPauseAndCleanUp) {
  WriteLauncher(MakeArchive(FullSet()));
  system_.polls = {"0"};
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(system_.script_ran_out);
  EXPECT_EQ(system_.sleeps, (std::vector<uint32_t>{1000, 2000}));
  // The command line: the unquoted path, blanks and all, then " /Start".
  EXPECT_EQ(system_.Lines("start "),
            std::vector<std::string>{ArchiveStyle(module_folder_ / "Dorvane.exe") + " /Start"});
  // The clean-up follows the pause, in table order.
  std::vector<std::string> tail(system_.log.end() - 7, system_.log.end());
  EXPECT_EQ(tail[0], "sleep 2000");
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(tail[i + 1], "delete " + kSetInOrder[i]);
  for (const std::string& name : kSetInOrder) EXPECT_FALSE(Present(name)) << name;
  EXPECT_TRUE(fs::exists(module_file_));
  EXPECT_EQ(system_.values[kResultValue], "0");
}

// Every entry of the archive is unpacked, the companion's data files and "hci9cd.hc" too, and the
// clean-up removes the companion file set only. A companion file counts when the unpacking wrote
// it, its name compared as the file system compares names: on POSIX an entry "dorvane.EXE" is
// another file, so the companion program is missing (Windows runs it: tests/windows).
TEST_F(LaunchSequence, EveryEntryIsUnpackedAndTheFilesWrittenAreCheckedByTheirNames) {
  Entries with_data = FullSet();
  with_data.insert(with_data.begin() + 1, {"Dorvane.dat", "the companion's data"});
  with_data.push_back({"hci9cd.hc", "left by an earlier run"});
  Entries other_case = FullSet();
  other_case[0].first = "dorvane.EXE";
  other_case.push_back({"Dorvane.dat", "the companion's data"});
  struct Case {
    const char* what;
    Entries archive;
    int32_t result;
    std::vector<std::string> at_start;  // the module folder when the companion starts
    std::vector<std::string> after;     // and when the call has returned
  } cases[] = {
      {"data files",
       with_data,
       0,
       {"Dorvane.dat", "Dorvane.exe", "Krovnel.dll", "Launcher.dll", "Osvant03.hc", "VQ.EXE",
        "hci9cd.hc", "hcorig.hc"},
       {"Dorvane.dat", "Launcher.dll"}},
      {"program in other letter case",
       other_case,
       kResultNotPrepared,
       {},
       {"Dorvane.dat", "Krovnel.dll", "Launcher.dll", "Osvant03.hc", "VQ.EXE", "dorvane.EXE",
        "hcorig.hc"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& entry : fs::directory_iterator(module_folder_)) fs::remove(entry.path());
    WriteLauncher(MakeArchive(c.archive));
    system_ = ScriptedSystem();
    system_.module_path = ArchiveStyle(module_file_);
    system_.polls = {"0"};
    EXPECT_EQ(Run(), c.result);
    EXPECT_EQ(system_.folder_at_start, c.at_start);
    std::vector<std::string> after;
    for (const auto& entry : fs::directory_iterator(module_folder_))
      after.push_back(entry.path().filename().string());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, c.after);
  }
}

TEST_F(LaunchSequence, EachPollOpensReadsAndClosesTheKey) {
  WriteLauncher(MakeArchive(FullSet()));
  system_.polls = {kKeep, "-1"};
  EXPECT_EQ(Run(), -1);
  size_t first = system_.IndexOf("sleep 1000");
  ASSERT_LT(first + 8, system_.log.size());
  EXPECT_EQ(std::vector<std::string>(system_.log.begin() + first, system_.log.begin() + first + 8),
            (std::vector<std::string>{
                "sleep 1000", "open Software\\Halcrest\\Dorvane\\6.0", "read DVResult", "close",
                "sleep 1000", "open Software\\Halcrest\\Dorvane\\6.0", "read DVResult", "close"}));
}

TEST_F(LaunchSequence, ValuesOf100AndAboveMissingOrNotNumericKeepWaiting) {
  WriteLauncher(MakeArchive(FullSet()));
  system_.polls = {"150", "100", kDelete, "abc", "", " 5", "12x", "2147483648", "0x1", "99"};
  EXPECT_EQ(Run(), 99);
  EXPECT_FALSE(system_.script_ran_out);
  EXPECT_EQ(system_.Lines("sleep 1000").size(), system_.polls.size());
  EXPECT_EQ(system_.sleeps.back(), 2000u);
}

TEST_F(LaunchSequence, NegativeResultsAreReturnedUnchanged) {
  WriteLauncher(MakeArchive(FullSet()));
  system_.polls = {"-2147483648"};
  EXPECT_EQ(Run(), INT32_MIN);
}

TEST_F(LaunchSequence, LockedFileIsLeftBehindAfterACompletedRun) {
  WriteLauncher(MakeArchive(FullSet()));
  system_.polls = {"0"};
  system_.locked = {"VQ.EXE"};
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(Present("VQ.EXE"));
  EXPECT_FALSE(Present("hcorig.hc"));  // deletion went on past the locked file
  EXPECT_EQ(system_.Lines("delete ").size(), 12u);
}

TEST_F(LaunchSequence, TwoCallsInARowEachUnpackIntoAFreshHolder) {
  WriteLauncher(MakeArchive(FullSet()));
  size_t holders = CompressDataModuleCount();
  system_.polls = {"3"};
  EXPECT_EQ(Run(), 3);
  system_.polls = {"3", "4"};
  EXPECT_EQ(Run(), 4);
  EXPECT_EQ(CompressDataModuleCount(), holders + 2);
  EXPECT_EQ(system_.Lines("unpack").size(), 2u);
}

TEST(LaunchResult, ParsesSigned32BitDecimalTextOnly) {
  EXPECT_EQ(ParseResult("0"), 0);
  EXPECT_EQ(ParseResult("-1"), -1);
  EXPECT_EQ(ParseResult("+7"), 7);
  EXPECT_EQ(ParseResult("007"), 7);
  EXPECT_EQ(ParseResult("2147483647"), INT32_MAX);
  EXPECT_EQ(ParseResult("-2147483648"), INT32_MIN);
  for (const char* bad : {"", "-", "+", "2147483648", "-2147483649", "99999999999999999999", " 1",
                          "1 ", "1.0", "0x10", "1e2", "--1"})
    EXPECT_FALSE(ParseResult(bad).has_value()) << bad;
}

class UnpackTest : public LaunchSequence {};

TEST_F(UnpackTest, HolderIsConfiguredForTheLaunchersOwnArchiveAndEveryEntryIsWritten) {
  Entries set = FullSet();
  set.push_back({"extra.dat", "data"});
  WriteLauncher(MakeArchive(set));
  qobz::TStringList written = {"Dorvane.exe"};
  ASSERT_TRUE(UnpackAppendedArchive(ArchiveStyle(module_file_), kTestOffset, &written));
  qobz::TStringList expected;
  for (const auto& [name, text] : set) expected.push_back(ArchiveStyle(module_folder_ / name));
  EXPECT_EQ(written, expected);
  ASSERT_NE(CompressDataModule, nullptr);
  const qobz::TCompress& c = CompressDataModule->Compress;
  EXPECT_FALSE(c.MakeDirectories);
  EXPECT_FALSE(c.ExceptionOnFileError);
  EXPECT_EQ(c.Key, 0);
  EXPECT_FALSE(c.CheckSpaceBeforeExpand);
  EXPECT_EQ(c.TargetPath(), ArchiveStyle(module_folder_) + "\\");
  std::ifstream in(module_folder_ / "Osvant03.hc");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "Method=LH5\n");
}

TEST_F(UnpackTest, FileThatCannotBeOpenedAnswersFalse) {
  size_t holders = CompressDataModuleCount();
  EXPECT_FALSE(UnpackAppendedArchive(ArchiveStyle(module_folder_ / "missing.dll"), kTestOffset));
  EXPECT_EQ(CompressDataModuleCount(), holders + 1);  // made before the file is opened
}

TEST_F(UnpackTest, TooFewBytesAfterTheOffsetIsAnEmptyArchive) {
  for (int64_t tail : {0, 1, 20}) {
    WriteLauncher(std::vector<uint8_t>(static_cast<size_t>(tail), 'Q'));
    EXPECT_TRUE(UnpackAppendedArchive(ArchiveStyle(module_file_), kTestOffset)) << tail;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(module_folder_), fs::directory_iterator()), 1);
}

TEST_F(UnpackTest, ArchiveIsReadFromTheOffsetOnly) {
  // An archive at the start of the file is not the appended one.
  std::vector<uint8_t> archive = MakeArchive(FullSet());
  std::vector<uint8_t> bytes = archive;
  bytes.resize(kTestOffset + 10, 0);
  std::ofstream(module_file_, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(UnpackAppendedArchive(ArchiveStyle(module_file_), kTestOffset));
  EXPECT_FALSE(Present("Dorvane.exe"));
}

TEST_F(UnpackTest, SecondUnpackingOverwritesTheFirst) {
  WriteLauncher(MakeArchive(FullSet()));
  ASSERT_TRUE(UnpackAppendedArchive(ArchiveStyle(module_file_), kTestOffset));
  PutFile("VQ.EXE", "changed in between, and longer than before");
  ASSERT_TRUE(UnpackAppendedArchive(ArchiveStyle(module_file_), kTestOffset));
  std::ifstream in(module_folder_ / "VQ.EXE");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "verifier");
}

#if !defined(_WIN32)
// The POSIX stand-in for the registry key.
class HandOffStore : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("qobz-handoff-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    const char* old = std::getenv("QOBZ_HANDOFF_DIR");
    had_old_ = old != nullptr;
    if (old) old_ = old;
    ::setenv("QOBZ_HANDOFF_DIR", root_.c_str(), 1);
  }
  void TearDown() override {
    if (had_old_)
      ::setenv("QOBZ_HANDOFF_DIR", old_.c_str(), 1);
    else
      ::unsetenv("QOBZ_HANDOFF_DIR");
    fs::remove_all(root_);
  }
  fs::path root_;
  bool had_old_ = false;
  std::string old_;
};

TEST_F(HandOffStore, ValuesLiveInOneFilePerValueBelowTheKeysFolders) {
  EXPECT_EQ(qobz::platform::HandOffStoreRoot(), root_.string());
  {
    auto key = qobz::platform::OpenHandOffKey(kHandOffKey);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->WriteString("DVResult", "100"));
    EXPECT_TRUE(key->WriteString("DVTitle", ""));
    EXPECT_TRUE(key->WriteString("DVResult", "-1"));  // replaced as a whole
  }
  fs::path folder = root_ / "Software" / "Halcrest" / "Dorvane" / "6.0";
  std::ifstream in(folder / "DVResult");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "-1");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);

  auto key = qobz::platform::OpenHandOffKey(kHandOffKey);  // a second opener sees the values
  std::string value = "x";
  EXPECT_TRUE(key->ReadString("DVTitle", value));
  EXPECT_EQ(value, "");
  EXPECT_TRUE(key->DeleteValue("DVResult"));
  EXPECT_FALSE(key->ReadString("DVResult", value));
  EXPECT_FALSE(key->DeleteValue("DVResult"));
}

// The store trusts only folders of the caller's own that no one else may write to.
TEST_F(HandOffStore, FoldersOfAnotherOwnerWritableByOthersOrLinkedAreRefused) {
  const fs::path key_folder = root_ / "Software" / "Halcrest" / "Dorvane" / "6.0";
  const fs::path elsewhere = root_.string() + "-elsewhere";
  struct Case {
    const char* what;
    fs::path folder;  // made before the key is opened, then changed
    fs::perms mode;
    bool other_owner;
    bool link;
    const char* reason;
  } cases[] = {
      {"root group-writable", root_, fs::perms::owner_all | fs::perms::group_all, false, false,
       "may be written by other users"},
      {"key folder others-writable", root_ / "Software" / "Halcrest",
       fs::perms::owner_all | fs::perms::others_write | fs::perms::others_exec, false, false,
       "may be written by other users"},
      {"sticky shared root", root_, fs::perms::all | fs::perms::sticky_bit, false, false,
       "may be written by other users"},
      {"root of another owner", root_, fs::perms::owner_all, true, false, "another user"},
      {"key folder of another owner", key_folder, fs::perms::owner_all, true, false,
       "another user"},
      {"key folder is a link", key_folder, fs::perms::owner_all, false, true, "is a link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.other_owner && ::geteuid() != 0) continue;  // only root can give a folder away
    fs::remove_all(root_);
    fs::remove_all(elsewhere);
    ASSERT_TRUE(qobz::platform::OpenHandOffKey(kHandOffKey));  // a sound store first
    if (c.link) {
      fs::create_directory(elsewhere);
      fs::permissions(elsewhere, fs::perms::owner_all);
      fs::remove_all(c.folder);
      fs::create_directory_symlink(elsewhere, c.folder);
    }
    fs::permissions(c.folder, c.mode);
    if (c.other_owner) {
      ASSERT_EQ(::chown(c.folder.c_str(), 65534, 65534), 0);
    }
    std::string why;
    EXPECT_FALSE(qobz::platform::OpenHandOffKey(kHandOffKey, &why));
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    EXPECT_NE(why.find(c.folder.string()), std::string::npos) << why;
  }
  fs::remove_all(elsewhere);
}

// Links planted in the key's folder are never followed: not by a read, not by a write, and not
// under the temporary names that writes once used. A value is read up to a limit only.
TEST_F(HandOffStore, PlantedLinksAreNotFollowedAndReadsAreCapped) {
  auto key = qobz::platform::OpenHandOffKey(kHandOffKey);
  ASSERT_TRUE(key);
  const fs::path folder = root_ / "Software" / "Halcrest" / "Dorvane" / "6.0";
  const fs::path victim = root_ / "victim";
  std::ofstream(victim) << "precious";
  for (int pid = ::getpid(); pid < ::getpid() + 64; ++pid)
    fs::create_symlink(victim, folder / (".DVTitle.tmp" + std::to_string(pid)));
  fs::create_symlink(victim, folder / "DVResult");
  fs::create_symlink("/dev/zero", folder / "DVVolume");
  ASSERT_EQ(::mkfifo((folder / "DVColorForm").c_str(), 0600), 0);

  std::string value = "unchanged";
  for (const char* name : {"DVResult", "DVVolume", "DVColorForm"})
    EXPECT_FALSE(key->ReadString(name, value)) << name;
  EXPECT_EQ(value, "unchanged");
  EXPECT_TRUE(key->WriteString("DVTitle", "t"));
  EXPECT_TRUE(key->WriteString("DVResult", "100"));  // replaces the link, not its target
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder / "DVResult")));
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");

  // The limit: a value of exactly kHandOffValueLimit bytes is read, one byte more is not, and
  // cannot be written either.
  const size_t limit = qobz::platform::kHandOffValueLimit;
  const std::string longest(limit, '7');
  ASSERT_TRUE(key->WriteString("DVFolderPath", longest));
  EXPECT_TRUE(key->ReadString("DVFolderPath", value));
  EXPECT_EQ(value, longest);
  EXPECT_FALSE(key->WriteString("DVFolderPath", longest + "7"));
  std::ofstream(folder / "DVColorText") << longest << "7";
  EXPECT_FALSE(key->ReadString("DVColorText", value));
  EXPECT_EQ(value, longest);
}

TEST_F(HandOffStore, NamesThatWouldLeaveTheKeyAreRefused) {
  auto key = qobz::platform::OpenHandOffKey(kHandOffKey);
  ASSERT_TRUE(key);
  for (const char* name : {"", ".", "..", "../x", "a/b", "a\\b", ".hidden"})
    EXPECT_FALSE(key->WriteString(name, "v")) << name;
  EXPECT_FALSE(qobz::platform::OpenHandOffKey("Software\\..\\..\\etc"));
  EXPECT_FALSE(qobz::platform::OpenHandOffKey("Software/Halcrest"));
}
#endif

}  // namespace
