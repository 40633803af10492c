// qobz l / x / t: list, extract and test archives.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "common.h"
#include "qobz/archive_reader.h"

namespace fs = std::filesystem;

namespace qobz::tool {

namespace {

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
