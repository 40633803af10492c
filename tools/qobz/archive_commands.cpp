// qobz l / x / t: list, extract and test archives.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "common.h"
#include "platform/platform.h"
#include "qobz/archive_reader.h"

namespace fs = std::filesystem;

namespace qobz::tool {

namespace {

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

constexpr fs::perms kAnyWrite =
    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

// A file name nobody can guess, for an entry's file until it is complete.
std::string PassingName() {
  static std::mt19937_64 draw{std::random_device{}()};
  char name[32];
  std::snprintf(name, sizeof name, ".qobz-%016llx", static_cast<unsigned long long>(draw()));
  return name;
}

// Where an entry of the walk goes: a line for -v (on stderr when standard output carries data).
void Say(const std::string& text, bool data_on_stdout) {
  if (g_verbosity != Verbosity::Verbose) return;
  ClearProgress();
  std::fprintf(data_on_stdout ? stderr : stdout, "%s\n", text.c_str());
}

}  // namespace

int CommandList(const Args& args) {
  if (args.Operands().size() != 1) throw UsageError("need exactly one archive");
  const std::string archive = args.Operands()[0];
  const bool names_only = args.Flag("--names");
  const bool quiet = g_verbosity == Verbosity::Quiet;
  std::string current;
  try {
    auto in = OpenArchive(archive, args.Number("--offset", 0, 0, INT64_MAX));
    TCompress compress;
    compress.OnRecognize = [](const std::string&, bool& recognized) { recognized = true; };
    auto reader = StartWalk(compress, *in);
    const std::string& id = reader->CompressID();
    // Fixed widths hold any size the format allows; the name comes last, as tar and 7-Zip show it.
    if (!names_only && !quiet)
      std::printf("%10s %10s %6s %-6s %-19s %-4s %10s %4s %s\n", "Size", "Packed", "Ratio",
                  "Method", "Date", "Attr", "Checksum", "Lock", "Name");
    int64_t count = 0, size = 0, packed = 0;
    while (reader->Next()) {
      const TEntryHeader& entry = reader->Entry();
      current = reader->Name();
      if (names_only) {
        std::printf("%s\n", DisplayName(current).c_str());
      } else {
        double ratio = entry.UnpackedSize > 0 ? 100.0 * entry.PackedSize / entry.UnpackedSize : 0.0;
        std::printf("%10d %10d %5.1f%% %-6s %-19s %-4s %10u %4d %s\n", entry.UnpackedSize,
                    entry.PackedSize, ratio, kMethodIds[entry.Method],
                    DosDateText(entry.FileDate).c_str(), AttrText(entry.FileAttr).c_str(),
                    entry.Checksum, entry.KeyLock, DisplayName(current).c_str());
      }
      ++count;
      size += entry.UnpackedSize;
      packed += entry.PackedSize;
    }
    if (!names_only && !quiet)
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

int CommandExtract(const Args& args) {
  if (args.Operands().empty()) throw UsageError("need an archive");
  const std::string archive = args.Operands()[0];
  TCompress compress;
  compress.Key = static_cast<int32_t>(args.Number("--key", 0, INT32_MIN, UINT32_MAX));
  compress.MakeDirectories = !args.Flag("--no-mkdirs");
  compress.CheckSpaceBeforeExpand = args.Flag("--check-space");
  const bool to_stdout = args.Flag("--to-stdout");
  const bool keep_old = args.Flag("--keep-old-files");
  const std::string host_target = args.Value("--directory");
  std::string target = host_target;
  std::replace(target.begin(), target.end(), '/', '\\');
  compress.SetTargetPath(target);
  const bool allow_absolute = args.Flag("--absolute-names");
  // Member patterns as the user writes paths ("./a/b" is "a/b").
  std::vector<std::string> patterns;
  for (auto it = args.Operands().begin() + 1; it != args.Operands().end(); ++it)
    patterns.push_back(DisplayName(StoredName(*it)));
  std::vector<bool> matched(patterns.size(), false);

  int failed = 0;
  bool last_failed = false;
  std::string current;
  StdoutStream data_out;
  try {
    auto in = OpenArchive(archive, args.Number("--offset", 0, 0, INT64_MAX));
    auto reader = StartWalk(compress, *in);
    Progress& progress = Progress::Get();
    progress.Begin(compress, reader->Header().TotalSize, -1);
    // The target folder itself is the user's choice, made as given (through links too).
    if (compress.MakeDirectories && !target.empty() && !to_stdout) compress.MakeFolderPath(target);
    int64_t index = 0;
    while (reader->Next()) {
      const TEntryHeader& entry = reader->Entry();
      current = reader->Name();
      bool selected = patterns.empty();
      for (size_t i = 0; i < patterns.size(); ++i)
        if (MemberMatches(patterns[i], current)) selected = matched[i] = true;
      if (!selected) continue;
      progress.Entry(index++, reader->Done(), entry.UnpackedSize);
      last_failed = false;
      if (to_stdout) {
        Say(DisplayName(current), true);
        try {
          CheckSize(entry, reader->Extract(data_out));
        } catch (const Exception& e) {
          PrintError(archive, current, e.Message());
          ++failed;
          last_failed = true;
        }
        continue;
      }
      // Every name the archive asks for passes here: refuse names that would leave the target.
      std::string reason = RefusalReason(current, allow_absolute);
      if (!reason.empty()) {
        PrintError(archive, current, reason);
        ++failed;
        continue;
      }
      const bool absolute = IsAbsoluteName(current);
      const std::string host_path =
          absolute ? DisplayName(current)
                   : (host_target.empty() ? "" : host_target + "/") + DisplayName(current);
      std::error_code ec;
      if (keep_old && fs::exists(fs::symlink_status(host_path, ec))) {
        if (g_verbosity != Verbosity::Quiet) Warn(host_path + ": kept the existing file");
        continue;
      }
      Say(DisplayName(current), false);
      std::string made;        // the file made for the entry, removed when it comes out damaged
      std::string final_path;  // where it goes once complete (empty: it is made in place)
      std::string temp;        // the passing name below the target
      try {
        const std::string path = absolute ? current : compress.TargetPath() + current;
        if (compress.SpaceAvailableFor(path) < entry.UnpackedSize)
          throw EInsufficientDiskSpace(path);
        // Below the target nothing is reached through a link; an absolute name is the user's
        // explicit choice (--absolute-names) and is made as the component makes it.
        std::unique_ptr<TFileStream> dest;
        if (absolute) {
          if (compress.MakeDirectories) {
            size_t cut = current.find_last_of("\\/");
            if (cut != std::string::npos && cut > 0)
              compress.MakeFolderPath(current.substr(0, cut));
          }
          dest = TFileStream::CreateEntry(path);
        } else {
          // Made under a passing name beside its place and renamed over it once complete: a
          // damaged entry never costs the file it would have replaced. As when a file is made in
          // place, a read-only file is not replaced.
          const fs::file_status old = fs::symlink_status(host_path, ec);
          if (fs::is_regular_file(old) && (old.permissions() & kAnyWrite) == fs::perms::none)
            throw EFCreateError("Cannot create file \"" + path + "\". Permission denied");
          const size_t cut = current.find_last_of("\\/");
          temp = current.substr(0, cut == std::string::npos ? 0 : cut + 1) + PassingName();
          dest = TFileStream::CreateEntryBelow(target, temp, compress.MakeDirectories);
          final_path = dest->Path().substr(0, dest->Path().size() - temp.size()) + current;
        }
        made = dest->Path();
        CheckSize(entry, reader->ExtractToFile(*dest));
        if (!final_path.empty() && !platform::RenameFile(made, final_path))
          throw EFCreateError("Cannot create file \"" + final_path + "\". " + std::strerror(errno));
      } catch (const EFCreateError& e) {
        if (!made.empty()) platform::DeleteFile(made);
        const bool missing = e.Message().find("No such file") != std::string::npos;
        // The message names the file by the entry's name, not by its passing name.
        std::string message = e.Message();
        const size_t at = temp.empty() ? std::string::npos : message.find(temp);
        if (at != std::string::npos) message.replace(at, temp.size(), current);
        PrintError(archive, current,
                   message + (missing && !compress.MakeDirectories
                                  ? " (folders are made unless --no-mkdirs is given)"
                                  : ""));
        ++failed;
      } catch (const Exception& e) {
        if (!made.empty()) platform::DeleteFile(made);
        PrintError(archive, current, e.Message());
        ++failed;
        last_failed = true;
      }
    }
    current.clear();
    // A walk cut short right after a damaged entry was reported with that entry.
    if (!last_failed) CheckWalkEnd(*reader);
    if (to_stdout && std::fflush(stdout) != 0)
      throw EWriteError(std::string("Stream write error on standard output"));
  } catch (const Exception& e) {
    PrintError(archive, current, e.Message());
    return 1;
  }
  ClearProgress();
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (matched[i]) continue;
    PrintError(archive, "", patterns[i] + ": not found in the archive");
    ++failed;
  }
  return failed > 0 ? 1 : 0;
}

int CommandTest(const Args& args) {
  if (args.Operands().size() != 1) throw UsageError("need exactly one archive");
  const std::string archive = args.Operands()[0];
  TCompress compress;
  compress.Key = static_cast<int32_t>(args.Number("--key", 0, INT32_MIN, UINT32_MAX));
  std::string current;
  int64_t tested = 0, failed = 0;
  bool last_failed = false;
  try {
    auto in = OpenArchive(archive, args.Number("--offset", 0, 0, INT64_MAX));
    // The same walk as an extraction, with every entry expanded to nowhere.
    auto reader = StartWalk(compress, *in);
    Progress& progress = Progress::Get();
    progress.Begin(compress, reader->Header().TotalSize, -1);
    while (reader->Next()) {
      current = reader->Name();
      progress.Entry(tested + failed, reader->Done(), reader->Entry().UnpackedSize);
      try {
        CheckSize(reader->Entry(), reader->Test());
        Say("OK  " + DisplayName(current), false);
        ++tested;
        last_failed = false;
      } catch (const Exception& e) {
        PrintError(archive, current, e.Message());
        ++failed;
        last_failed = true;
      }
    }
    current.clear();
    if (!last_failed) CheckWalkEnd(*reader);
  } catch (const Exception& e) {
    std::fflush(stdout);
    PrintError(archive, current, e.Message());
    return 1;
  }
  ClearProgress();
  if (g_verbosity != Verbosity::Quiet) {
    if (failed > 0)
      std::printf("%lld entries OK, %lld damaged\n", static_cast<long long>(tested),
                  static_cast<long long>(failed));
    else
      std::printf("%lld entries OK\n", static_cast<long long>(tested));
  }
  return failed > 0 ? 1 : 0;
}

}  // namespace qobz::tool
