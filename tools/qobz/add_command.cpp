// qobz a: make archives.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

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
// once (by device and file number), so that a link loop ends. What cannot be stored inside a
// folder (a pipe, a socket, a device, a dangling link, a folder that cannot be read) is passed
// over with a warning naming it; the same for an operand is an error, before anything is written.
class Collector {
 public:
  explicit Collector(const OutputFile& output) : output_(output) {}

  void Operand(const std::string& path) { Visit(path, true); }
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
      if (platform::GetFileIdentity(text, identity) && !folders_.insert(identity).second) {
        // Its files are in the archive already, under the name by which it was first reached.
        Warn(text + ": skipped: folder already added (a link leads back to it)");
        return;
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
  std::set<platform::FileIdentity> folders_;
  std::set<std::string> warned_;
  int skipped_ = 0;
};

}  // namespace

int CommandAdd(int argc, char** argv) {
  Args args(argc, argv, {"--method", "--key", "--lock", "--entry"}, {});
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

  OutputFile output(archive);
  Collector collector(output);
  for (size_t i = 1; i < args.Operands().size(); ++i) collector.Operand(args.Operands()[i]);
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

  std::string label;
  AttachProgress(compress, &label);
  std::string current;
  try {
    TArchiveWriter writer(compress, output.Stream(), method, lock);
    for (const Input& in : inputs) {
      current = in.stored;
      label = in.stored;
      try {
        writer.AddFile(in.path, in.stored);
      } catch (const EFOpenError& e) {
        // Nothing of the entry is written before its file is open.
        collector.Skip(in.path, e.Message());
      }
    }
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
