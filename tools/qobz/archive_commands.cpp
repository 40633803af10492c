// qobz a / l / x / t: make, list, extract and test archives.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "common.h"
#include "qobz/archive_reader.h"
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

// Opens the archive, positioned at --offset. An offset past the end of the file, or one the
// file cannot seek to, is an error rather than an empty archive.
std::unique_ptr<TFileStream> OpenArchive(const std::string& path, int64_t offset) {
  auto stream = TFileStream::OpenRead(path);
  const int64_t size = stream->Size();
  if (size >= 0 && offset > size)
    throw Exception("--offset " + std::to_string(offset) + " is past the end of the file (" +
                    std::to_string(size) + " bytes)");
  if (stream->Seek(offset, SeekOrigin::Begin) != offset)
    throw Exception("cannot seek to --offset " + std::to_string(offset));
  return stream;
}

// Starts the walk; a file without an archive header at the offset is no archive.
std::unique_ptr<TArchiveReader> StartWalk(TCompress& compress, TStream& in) {
  auto reader = std::make_unique<TArchiveReader>(compress, in);
  if (!reader->HasHeader()) throw Exception("not an archive: fewer than 21 bytes at the offset");
  return reader;
}

// After a walk that ended without an error: the entries must add up to the header's TotalSize,
// or the archive is cut short (or damaged).
void CheckWalkEnd(const TArchiveReader& reader) {
  const int64_t total = reader.Header().TotalSize;
  if (reader.EndReason() == TArchiveReader::TEnd::CutShort && reader.Done() < total)
    throw Exception("archive cut short inside an entry header or name");
  if (reader.Done() != total)
    throw Exception("entries add up to " + std::to_string(reader.Done()) +
                    " bytes, but the archive header says " + std::to_string(total) +
                    ": archive cut short or damaged");
}

// An entry of a built-in method must come out at exactly its stored size.
void CheckSize(const TEntryHeader& entry, int64_t written) {
  if (entry.Method != kMethodCustom && written != entry.UnpackedSize)
    throw Exception("expanded to " + std::to_string(written) + " bytes, not " +
                    std::to_string(entry.UnpackedSize));
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
  // A colon is a drive only at the start of a Windows path; on POSIX "a:b.txt" is a plain name.
  bool absolute = IsAbsoluteName(name);
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

int CommandList(int argc, char** argv) {
  Args args(argc, argv, {"--offset"}, {});
  if (args.Operands().size() != 1) throw UsageError("need exactly one archive");
  const std::string archive = args.Operands()[0];
  std::string current;
  try {
    auto in = OpenArchive(archive, args.Number("--offset", 0, 0, INT64_MAX));
    TCompress compress;
    compress.OnRecognize = [](const std::string&, bool& recognized) { recognized = true; };
    auto reader = StartWalk(compress, *in);
    const std::string& id = reader->CompressID();
    std::printf("%-32s %10s %10s %6s %-6s %-19s %-4s %10s %4s\n", "Name", "Size", "Packed", "Ratio",
                "Method", "Date", "Attr", "Checksum", "Lock");
    int64_t count = 0, size = 0, packed = 0;
    while (reader->Next()) {
      const TEntryHeader& entry = reader->Entry();
      current = reader->Name();
      double ratio = entry.UnpackedSize > 0 ? 100.0 * entry.PackedSize / entry.UnpackedSize : 0.0;
      std::printf("%-32s %10d %10d %5.1f%% %-6s %-19s %-4s %10u %4d\n", current.c_str(),
                  entry.UnpackedSize, entry.PackedSize, ratio, kMethodIds[entry.Method],
                  DosDateText(entry.FileDate).c_str(), AttrText(entry.FileAttr).c_str(),
                  entry.Checksum, entry.KeyLock);
      ++count;
      size += entry.UnpackedSize;
      packed += entry.PackedSize;
    }
    std::printf("%lld entries, %lld bytes, %lld packed; archive method %s, total size %d\n",
                static_cast<long long>(count), static_cast<long long>(size),
                static_cast<long long>(packed), id.c_str(), reader->Header().TotalSize);
    current.clear();
    CheckWalkEnd(*reader);
  } catch (const Exception& e) {
    std::fflush(stdout);
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
  std::string target = args.Value("-C");
  std::replace(target.begin(), target.end(), '/', '\\');
  compress.SetTargetPath(target);
  const bool allow_absolute = args.Flag("--absolute-names");
  TStringList selection(args.Operands().begin() + 1, args.Operands().end());
  for (std::string& name : selection) name = StoredName(name);

  int refused = 0;
  std::string current;
  AttachProgress(compress, &current);
  try {
    auto in = OpenArchive(archive, args.Number("--offset", 0, 0, INT64_MAX));
    auto reader = StartWalk(compress, *in);
    // The target folder itself is the user's choice, made as given (through links too).
    if (compress.MakeDirectories && !target.empty()) compress.MakeFolderPath(target);
    while (reader->Next()) {
      const TEntryHeader& entry = reader->Entry();
      current = reader->Name();
      if (!selection.empty() && !TCompress::IsFileSelected(selection, current)) continue;
      // Every name the archive asks for passes here: refuse names that would leave the target.
      std::string reason = RefusalReason(current, allow_absolute);
      if (!reason.empty()) {
        PrintError(archive, current, reason);
        ++refused;
        continue;
      }
      const bool absolute = IsAbsoluteName(current);
      const std::string path = absolute ? current : compress.TargetPath() + current;
      if (compress.SpaceAvailableFor(path) < entry.UnpackedSize) throw EInsufficientDiskSpace(path);
      // Below the target nothing is reached through a link; an absolute name is the user's
      // explicit choice (--absolute-names) and is made as the component makes it.
      std::unique_ptr<TFileStream> dest;
      if (absolute) {
        if (compress.MakeDirectories) {
          size_t cut = current.find_last_of("\\/");
          if (cut != std::string::npos && cut > 0) compress.MakeFolderPath(current.substr(0, cut));
        }
        dest = TFileStream::CreateEntry(path);
      } else {
        dest = TFileStream::CreateEntryBelow(target, current, compress.MakeDirectories);
      }
      CheckSize(entry, reader->ExtractToFile(*dest));
    }
    current.clear();
    CheckWalkEnd(*reader);
  } catch (const EFCreateError& e) {
    const bool missing = e.Message().find("No such file") != std::string::npos;
    PrintError(
        archive, current,
        e.Message() +
            (missing && !compress.MakeDirectories ? " (--mkdirs makes missing folders)" : ""));
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
    auto reader = StartWalk(compress, *in);
    while (reader->Next()) {
      current = reader->Name();
      CheckSize(reader->Entry(), reader->Test());
      ClearProgress();
      if (!args.Flag("--quiet")) std::printf("OK  %s\n", current.c_str());
      ++tested;
    }
    current.clear();
    CheckWalkEnd(*reader);
  } catch (const Exception& e) {
    std::fflush(stdout);
    PrintError(archive, current, e.Message());
    return 1;
  }
  ClearProgress();
  if (!args.Flag("--quiet")) std::printf("%lld entries OK\n", static_cast<long long>(tested));
  return 0;
}

}  // namespace qobz::tool
