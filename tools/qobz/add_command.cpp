// qobz a: make archives.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "common.h"
#include "platform/platform.h"
#include "qobz/writer.h"

namespace fs = std::filesystem;

namespace qobz::tool {

namespace {

struct Input {
  std::string path;    // on the host
  std::string stored;  // in the archive
  uintmax_t size;
};

const char* KindText(fs::file_type type) {
  switch (type) {
    case fs::file_type::fifo:
      return "a pipe (FIFO)";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::block:
    case fs::file_type::character:
      return "a device";
    default:
      return "not a file or folder";
  }
}

// Gathers the files to store. Links are followed, as zip and 7-Zip do, and each folder is entered
// once (by device and file number), so that a link loop ends: under its own name when it has one
// among the operands, otherwise under the first link that reaches it. What cannot be stored
// inside a folder (a pipe, a socket, a device, a dangling link, a folder that cannot be read) is
// passed over with a warning naming it; the same for an operand is an error, before anything is
// written.
class Collector {
 public:
  explicit Collector(const OutputFile& output) : output_(output) {}

  void Add(const std::vector<std::string>& operands) {
    for (const std::string& operand : operands) Survey(operand);
    for (const std::string& operand : operands) Visit(operand, true);
  }
  std::vector<Input>& Inputs() { return inputs_; }
  // How many paths were passed over (the exit code is then 1).
  int Skipped() const { return skipped_; }
  // Records a file that could not be opened when its turn came.
  void Skip(const std::string& path, const std::string& why) {
    Warn(path + ": skipped: " + why);
    ++skipped_;
  }

  // The stored name of a path, with tar's warning when a leading "/" or "../" is dropped.
  std::string Name(const std::string& path) {
    std::string stripped;
    std::string name = StoredName(path, &stripped);
    if (!stripped.empty() && warned_.insert(stripped).second)
      Warn("removing leading \"" + stripped + "\" from stored names");
    return name;
  }

 private:
  // Notes every folder below path that is reached without a link.
  void Survey(const fs::path& path) {
    std::error_code ec;
    platform::FileIdentity identity;
    if (!fs::is_directory(fs::status(path, ec)) ||
        !platform::GetFileIdentity(path.string(), identity) || !surveyed_.insert(identity).second)
      return;
    fs::directory_iterator it(path, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::error_code child_ec;
      if (fs::is_directory(it->symlink_status(child_ec))) Survey(it->path());
    }
  }

  void Refuse(const std::string& path, const std::string& why, bool operand) {
    if (operand) throw Exception("Cannot add \"" + path + "\": " + why);
    Skip(path, why);
  }

  void Visit(const fs::path& path, bool operand) {
    const std::string text = path.string();
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found || ec) {
      std::error_code link_ec;
      bool dangling = status.type() == fs::file_type::not_found &&
                      fs::is_symlink(fs::symlink_status(path, link_ec));
      Refuse(text, dangling ? "dangling link" : ec ? ec.message() : "not found", operand);
      return;
    }
    if (status.type() == fs::file_type::directory) {
      platform::FileIdentity identity;
      if (platform::GetFileIdentity(text, identity)) {
        std::error_code link_ec;
        if (!operand && fs::is_symlink(fs::symlink_status(path, link_ec)) &&
            surveyed_.count(identity)) {
          Warn(text + ": skipped: link to a folder that is added under its own name");
          return;
        }
        if (!folders_.insert(identity).second) {
          Warn(text + ": skipped: folder already added");
          return;
        }
      }
      std::vector<fs::path> children;
      fs::directory_iterator it(path, ec);
      for (; !ec && it != fs::directory_iterator(); it.increment(ec))
        children.push_back(it->path());
      if (ec) {
        Refuse(text, "cannot read the folder: " + ec.message(), operand);
        return;
      }
      std::sort(children.begin(), children.end());
      for (const auto& child : children) Visit(child, false);
      return;
    }
    if (status.type() != fs::file_type::regular) {
      Refuse(text, KindText(status.type()), operand);
      return;
    }
    if (output_.IsDestination(text)) {
      if (operand) throw Exception("Cannot add \"" + text + "\": it is the archive being written");
      Warn(text + ": skipped: it is the archive being written");
      return;
    }
    if (operand) TFileStream::OpenRead(text);  // an unreadable operand stops everything now
    uintmax_t size = fs::file_size(path, ec);
    inputs_.push_back({text, Name(path.generic_string()), ec ? 0 : size});
  }

  const OutputFile& output_;
  std::vector<Input> inputs_;
  std::set<platform::FileIdentity> surveyed_;  // reached without a link
  std::set<platform::FileIdentity> folders_;   // entered
  std::set<std::string> warned_;
  int skipped_ = 0;
};

}  // namespace

int CommandAdd(int argc, char** argv) {
  Args args(argc, argv, {"--method", "--key", "--lock", "--entry", "-j"}, {});
  const std::vector<std::string> named = args.Values("--entry");
  if (args.Operands().empty() || (args.Operands().size() < 2 && named.empty()))
    throw UsageError("need an archive and at least one file");
  const std::string archive = args.Operands()[0];
  uint8_t method = ParseMethod(args.Value("--method", "LH5"));
  TCompress compress;
  compress.Key = static_cast<int32_t>(args.Number("--key", 0, INT32_MIN, UINT32_MAX));
  int32_t lock = static_cast<int32_t>(args.Number("--lock", compress.Key != 0 ? 2 : 0, 0, 2));
  if (compress.Key != 0 && lock == 0) throw UsageError("--key needs --lock 1 or 2");
  if (compress.Key == 0 && lock != 0) throw UsageError("--lock needs a non-zero --key");
  const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  const int jobs = static_cast<int>(args.Number("-j", cores, 1, 256));

  OutputFile output(archive);
  Collector collector(output);
  collector.Add({args.Operands().begin() + 1, args.Operands().end()});
  std::vector<Input>& inputs = collector.Inputs();
  // --entry NAME=PATH stores the file PATH under the name NAME.
  for (const std::string& entry_arg : named) {
    size_t eq = entry_arg.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == entry_arg.size())
      throw UsageError("--entry takes NAME=PATH, not \"" + entry_arg + "\"");
    std::string path = entry_arg.substr(eq + 1);
    std::string name = collector.Name(entry_arg.substr(0, eq));
    if (name.empty()) throw UsageError("--entry \"" + entry_arg + "\" names no file");
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) throw Exception("Cannot add \"" + path + "\": not a file");
    if (output.IsDestination(path))
      throw Exception("Cannot add \"" + path + "\": it is the archive being written");
    inputs.push_back({path, name, fs::file_size(path)});
  }
  // Expansion stops once the sizes read add up to the archive's total, so empty files placed
  // last would never come out: put them first.
  std::stable_partition(inputs.begin(), inputs.end(), [](const Input& in) { return in.size == 0; });

  std::vector<TFileToAdd> files;
  for (const Input& in : inputs) files.push_back({in.path, in.stored});
  std::string current;
  AttachProgress(compress, &current);
  TAddFilesEvents events;
  events.BeforeEntry = [&](size_t index) { current = files[index].StoredName; };
  // Nothing of an entry is written before its file is open.
  events.Skipped = [&](size_t index, const EFOpenError& e) {
    collector.Skip(files[index].Path, e.Message());
  };
  try {
    TArchiveWriter writer(compress, output.Stream(), method, lock);
    // Large files packed ahead wait beside the new archive.
    std::string folder = fs::path(output.Stream().Path()).parent_path().string();
    writer.SetSpillFolder(folder.empty() ? "." : folder);
    writer.AddFiles(files, jobs, events);
    current.clear();
    writer.Finish();
    output.Commit();
  } catch (const Exception& e) {
    PrintError(archive, current, e.Message());
    return 1;
  }
  ClearProgress();
  return collector.Skipped() > 0 ? 1 : 0;
}

}  // namespace qobz::tool
