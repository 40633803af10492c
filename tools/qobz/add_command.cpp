// qobz a: make archives.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "common.h"
#include "qobz/writer.h"

namespace fs = std::filesystem;

namespace qobz::tool {

namespace {

struct Input {
  std::string path;    // on the host
  std::string stored;  // in the archive
  uintmax_t size;
};

void Collect(const fs::path& path, std::vector<Input>& inputs) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    std::vector<fs::path> children;
    for (const auto& entry : fs::directory_iterator(path)) children.push_back(entry.path());
    std::sort(children.begin(), children.end());
    for (const auto& child : children) Collect(child, inputs);
  } else if (fs::is_regular_file(path, ec)) {
    inputs.push_back({path.string(), StoredName(path.generic_string()), fs::file_size(path)});
  } else {
    throw Exception("Cannot add \"" + path.string() + "\": not a file or folder");
  }
}

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

  std::vector<Input> inputs;
  for (size_t i = 1; i < args.Operands().size(); ++i) Collect(args.Operands()[i], inputs);
  // --entry NAME=PATH stores the file PATH under the name NAME.
  for (const std::string& entry_arg : named) {
    size_t eq = entry_arg.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == entry_arg.size())
      throw UsageError("--entry takes NAME=PATH, not \"" + entry_arg + "\"");
    std::string path = entry_arg.substr(eq + 1);
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) throw Exception("Cannot add \"" + path + "\": not a file");
    inputs.push_back({path, entry_arg.substr(0, eq), fs::file_size(path)});
  }
  // Expansion stops once the sizes read add up to the archive's total, so empty files placed
  // last would never come out: put them first.
  std::stable_partition(inputs.begin(), inputs.end(), [](const Input& in) { return in.size == 0; });

  std::string label;
  AttachProgress(compress, &label);
  std::string current;
  try {
    auto out = TFileStream::Create(archive);
    try {
      TArchiveWriter writer(compress, *out, method, lock);
      for (const Input& in : inputs) {
        current = in.stored;
        label = in.stored;
        writer.AddFile(in.path, in.stored);
      }
      current.clear();
      writer.Finish();
    } catch (...) {
      out.reset();
      std::remove(archive.c_str());  // no half-written archive left behind
      throw;
    }
  } catch (const Exception& e) {
    PrintError(archive, current, e.Message());
    return 1;
  }
  ClearProgress();
  return 0;
}

}  // namespace qobz::tool
