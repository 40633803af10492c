// qobz a / l / x / t: make, list, extract and test archives.
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

// Opens the archive, positioned at --offset.
std::unique_ptr<TFileStream> OpenArchive(const std::string& path, int64_t offset) {
  auto stream = TFileStream::OpenRead(path);
  stream->Seek(offset, SeekOrigin::Begin);
  return stream;
}

void PrintError(const std::string& archive, const std::string& entry, const std::string& what) {
  ClearProgress();
  if (entry.empty())
    std::fprintf(stderr, "qobz: %s: %s\n", archive.c_str(), what.c_str());
  else
    std::fprintf(stderr, "qobz: %s: %s: %s\n", archive.c_str(), entry.c_str(), what.c_str());
}

// Why a stored name may not be written where it says, or empty when it may.
std::string RefusalReason(const std::string& name, bool allow_absolute) {
  bool absolute = (!name.empty() && (name[0] == '\\' || name[0] == '/')) ||
                  (name.size() >= 2 && name[1] == ':');
  if (absolute && !allow_absolute) return "refused: absolute name (use --absolute-names)";
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return "refused: name contains \"..\"";
    start = end + 1;
  }
  if (name.empty()) return "refused: empty name";
  return "";
}

}  // namespace

int CommandAdd(int argc, char** argv) {
  Args args(argc, argv, {"--method", "--key", "--lock", "--entry"}, {"--best"});
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
      writer.SetBest(args.Flag("--best"));
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

int CommandList(int argc, char** argv) {
  Args args(argc, argv, {"--offset"}, {});
  if (args.Operands().size() != 1) throw UsageError("need exactly one archive");
  const std::string archive = args.Operands()[0];
  std::string current;
  try {
    auto in = OpenArchive(archive, args.Number("--offset", 0, 0, INT64_MAX));
    TCompress compress;
    compress.OnRecognize = [](const std::string&, bool& recognized) { recognized = true; };
    TArchiveHeader header;
    std::string id;
    compress.ReadArchiveHeader(*in, header, id);
    std::printf("%-32s %10s %10s %6s %-6s %-19s %-4s %10s %4s\n", "Name", "Size", "Packed", "Ratio",
                "Method", "Date", "Attr", "Checksum", "Lock");
    TEntryHeader entry;
    std::string name;
    int64_t count = 0, size = 0, packed = 0;
    while (compress.ReadEntryHeader(*in, entry, name)) {
      current = name;
      const char* method = entry.Method < 5 ? kMethodIds[entry.Method] : "???";
      double ratio = entry.UnpackedSize > 0 ? 100.0 * entry.PackedSize / entry.UnpackedSize : 0.0;
      std::printf("%-32s %10d %10d %5.1f%% %-6s %-19s %-4s %10u %4d\n", name.c_str(),
                  entry.UnpackedSize, entry.PackedSize, ratio, method,
                  DosDateText(entry.FileDate).c_str(), AttrText(entry.FileAttr).c_str(),
                  entry.Checksum, entry.KeyLock);
      ++count;
      size += entry.UnpackedSize;
      packed += entry.PackedSize;
      if (entry.PackedSize < 0) throw EInvalidHeader();
      in->Seek(entry.PackedSize, SeekOrigin::Current);
    }
    std::printf("%lld entries, %lld bytes, %lld packed; archive method %s, total size %d\n",
                static_cast<long long>(count), static_cast<long long>(size),
                static_cast<long long>(packed), id.empty() ? "(empty)" : id.c_str(),
                header.TotalSize);
  } catch (const Exception& e) {
    PrintError(archive, current, e.Message());
    return 1;
  }
  return 0;
}

int CommandExtract(int argc, char** argv) {
  Args args(argc, argv, {"-C", "--key", "--offset"},
            {"--mkdirs", "--check-space", "--absolute-names"});
  if (args.Operands().empty()) throw UsageError("need an archive");
  const std::string archive = args.Operands()[0];
  TCompress compress;
  compress.Key = static_cast<int32_t>(args.Number("--key", 0, INT32_MIN, UINT32_MAX));
  compress.MakeDirectories = args.Flag("--mkdirs");
  compress.CheckSpaceBeforeExpand = args.Flag("--check-space");
  compress.ExceptionOnFileError = true;  // a file that cannot be made is an error, not a skip
  std::string target = args.Value("-C");
  std::replace(target.begin(), target.end(), '/', '\\');
  compress.SetTargetPath(target);
  const bool allow_absolute = args.Flag("--absolute-names");

  // Every path the archive asks for passes here: refuse names that would leave the target.
  int refused = 0;
  std::string current;
  compress.OnCheckFile = [&](std::string& path, TCProcessMode) {
    const std::string& prefix = compress.TargetPath();
    current = path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
    std::string reason = RefusalReason(current, allow_absolute);
    if (!reason.empty()) {
      PrintError(archive, current, reason);
      ++refused;
      path.clear();
    }
  };
  AttachProgress(compress, &current);

  TStringList selection(args.Operands().begin() + 1, args.Operands().end());
  for (std::string& name : selection) name = StoredName(name);
  try {
    auto in = OpenArchive(archive, args.Number("--offset", 0, 0, INT64_MAX));
    compress.ExpandStreamToFiles(*in, selection.empty() ? nullptr : &selection);
  } catch (const EFCreateError& e) {
    PrintError(archive, current,
               e.Message() + (compress.MakeDirectories ? "" : " (--mkdirs makes missing folders)"));
    return 1;
  } catch (const Exception& e) {
    PrintError(archive, current, e.Message());
    return 1;
  }
  ClearProgress();
  return refused > 0 ? 1 : 0;
}

int CommandTest(int argc, char** argv) {
  Args args(argc, argv, {"--key", "--offset"}, {"--quiet"});
  if (args.Operands().size() != 1) throw UsageError("need exactly one archive");
  const std::string archive = args.Operands()[0];
  TCompress compress;
  compress.Key = static_cast<int32_t>(args.Number("--key", 0, INT32_MIN, UINT32_MAX));
  std::string current;
  AttachProgress(compress, &current);
  int64_t tested = 0;
  try {
    auto in = OpenArchive(archive, args.Number("--offset", 0, 0, INT64_MAX));
    // The same walk as an extraction, with every entry expanded to nowhere.
    TArchiveHeader header;
    std::string id;
    compress.ReadArchiveHeader(*in, header, id);
    int32_t done = 0;
    TEntryHeader entry;
    while (compress.ReadEntryHeader(*in, entry, current)) {
      if (!(done < header.TotalSize)) break;
      if (entry.PackedSize < 0 || entry.UnpackedSize < 0) throw EInvalidHeader();
      TNullStream sink;
      compress.ExpandEntry(sink, *in, entry.PackedSize, entry.UnpackedSize, entry.Checksum,
                           entry.Method, id, entry.KeyLock);
      if (sink.Size() != entry.UnpackedSize && entry.Method != kMethodCustom)
        throw Exception("expanded to " + std::to_string(sink.Size()) + " bytes, not " +
                        std::to_string(entry.UnpackedSize));
      ClearProgress();
      if (!args.Flag("--quiet")) std::printf("OK  %s\n", current.c_str());
      done = static_cast<int32_t>(static_cast<uint32_t>(done) +
                                  static_cast<uint32_t>(entry.UnpackedSize));
      ++tested;
    }
  } catch (const Exception& e) {
    PrintError(archive, current, e.Message());
    return 1;
  }
  ClearProgress();
  if (!args.Flag("--quiet")) std::printf("%lld entries OK\n", static_cast<long long>(tested));
  return 0;
}

}  // namespace qobz::tool
