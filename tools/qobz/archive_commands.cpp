// qobz l / x / t: list, extract and test archives.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "common.h"

namespace fs = std::filesystem;

namespace qobz::tool {

namespace {

// Opens the archive, positioned at --offset.
std::unique_ptr<TFileStream> OpenArchive(const std::string& path, int64_t offset) {
  auto stream = TFileStream::OpenRead(path);
  stream->Seek(offset, SeekOrigin::Begin);
  return stream;
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
