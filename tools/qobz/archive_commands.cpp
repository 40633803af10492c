// qobz l / x / t: list, extract and test archives.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <unordered_set>

#include "archive/job_pool.h"
#include "common.h"
#include "platform/platform.h"
#include "qobz/archive_reader.h"
#include "qobz/methods.h"

namespace fs = std::filesystem;

namespace qobz::tool {

namespace {

// Whether the tool has no expander for an entry's method (the application's own).
bool NoExpander(const TEntryHeader& entry) {
  const TMethodInfo* method = FindMethod(entry.Method);
  return method && method->ApplicationDefined;
}

// An entry of a built-in method must come out at exactly its stored size.
void CheckSize(const TEntryHeader& entry, int64_t written) {
  if (!NoExpander(entry) && written != entry.UnpackedSize)
    throw Exception("expanded to " + std::to_string(written) + " bytes, not " +
                    std::to_string(entry.UnpackedSize));
}

// The tool has no expander for the custom method: such an entry is reported, never passed.
constexpr const char* kNoExpander =
    "cannot expand: the entry uses the custom method, which only an application can expand";

// Why a stored name may not be written where it says, or empty when it may.
std::string RefusalReason(const std::string& name, bool allow_absolute) {
  // The whole name, every byte of it: one the system would cut short or refuse is refused here.
  std::string bytes = platform::NameRefusal(name);
  if (!bytes.empty()) return bytes;
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
        std::printf("%s\n", ShownName(current).c_str());
      } else {
        double ratio = entry.UnpackedSize > 0 ? 100.0 * entry.PackedSize / entry.UnpackedSize : 0.0;
        // A code that names no method is shown as the number it is.
        const TMethodInfo* info = FindMethod(entry.Method);
        const std::string method = info ? info->Id : std::to_string(entry.Method);
        std::printf("%10d %10d %5.1f%% %-6s %-19s %-4s %10u %4d %s\n", entry.UnpackedSize,
                    entry.PackedSize, ratio, method.c_str(), DosDateText(entry.FileDate).c_str(),
                    AttrText(entry.FileAttr).c_str(), entry.Checksum, entry.KeyLock,
                    ShownName(current).c_str());
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

namespace {

// What the work on one entry has to say, in order: said at once when one thread walks the
// archive, kept and said in the entries' order when several threads share them out.
class Report {
 public:
  explicit Report(bool immediate = true) : immediate_(immediate) {}
  void Line(const std::string& text, bool data_on_stdout) {
    Add({Kind::Line, text, {}, {}, data_on_stdout});
  }
  void Error(const std::string& archive, const std::string& entry, const std::string& what) {
    Add({Kind::Error, archive, entry, what, false});
  }
  void Warning(const std::string& what) { Add({Kind::Warning, what, {}, {}, false}); }
  // Says what was kept.
  void Flush() {
    for (const Item& item : items_) Say(item);
    items_.clear();
  }

 private:
  enum class Kind { Line, Error, Warning };
  struct Item {
    Kind kind;
    std::string a, b, c;
    bool data_on_stdout;
  };
  void Add(Item item) {
    if (immediate_)
      Say(item);
    else
      items_.push_back(std::move(item));
  }
  static void Say(const Item& item) {
    switch (item.kind) {
      case Kind::Line:
        tool::Say(item.a, item.data_on_stdout);
        break;
      case Kind::Error:
        PrintError(item.a, item.b, item.c);
        break;
      case Kind::Warning:
        Warn(item.a);
        break;
    }
  }
  bool immediate_;
  std::vector<Item> items_;
};

// What one entry of x or t came to.
struct Outcome {
  Report report{false};
  bool failed = false;       // counts toward the exit code
  bool damaged = false;      // its data could not be expanded (the walk may end right after it)
  std::exception_ptr fatal;  // ends the command, as on one thread
};

// The settings of an extraction, the same for every entry.
struct ExtractSettings {
  std::string archive, target, host_target;
  bool allow_absolute = false, keep_old = false;
};

// Extracts the current entry of the walk to a file below the target (never to standard output).
// Below the target, the file is made, renamed and removed in the folder the walk reached by
// descriptors (TFileStream::CreateEntryBelow), never by a path looked up again.
void ExtractEntry(const ExtractSettings& s, TCompress& compress, TArchiveReader& reader,
                  TFolderWalk& folders, Outcome& out) {
  const TEntryHeader& entry = reader.Entry();
  const std::string& current = reader.Name();
  // Every name the archive asks for passes here: refuse names that would leave the target.
  std::string reason = RefusalReason(current, s.allow_absolute);
  if (reason.empty() && NoExpander(entry)) reason = kNoExpander;
  if (!reason.empty()) {
    out.report.Error(s.archive, current, reason);
    out.failed = true;
    return;
  }
  const bool absolute = IsAbsoluteName(current);
  const std::string host_path =
      absolute ? DisplayName(current)
               : (s.host_target.empty() ? "" : s.host_target + "/") + DisplayName(current);
  std::error_code ec;
  if (s.keep_old && fs::exists(fs::symlink_status(host_path, ec))) {
    if (g_verbosity != Verbosity::Quiet)
      out.report.Warning(platform::EscapedName(host_path) + ": kept the existing file");
    return;
  }
  out.report.Line(ShownName(current), false);
  std::unique_ptr<TFileStream> dest;
  std::string final_path;  // an absolute entry's place, once complete
  try {
    reader.CheckMethod();  // before anything is made for the entry
    const std::string path = absolute ? current : compress.TargetPath() + current;
    if (compress.SpaceAvailableFor(path) < entry.UnpackedSize) throw EInsufficientDiskSpace(path);
    // Made under a passing name beside its place and renamed over it once complete: a damaged
    // entry never costs the file it would have replaced. As when a file is made in place, a
    // read-only file is not replaced. Where nothing has the name yet, the file is made under it
    // at once, exclusively (nothing can be lost there, and a rename per file costs the file
    // system as much again), and removed again should the entry fail or a signal end the
    // command; should something take the name meanwhile, the passing name is used.
    const fs::file_status old = fs::symlink_status(host_path, ec);
    if (fs::is_regular_file(old) && (old.permissions() & kAnyWrite) == fs::perms::none)
      throw EFCreateError("Cannot create file \"" + path + "\". Permission denied");
    if (absolute) {
      // An absolute name is the user's explicit choice (--absolute-names): its folders are made
      // as the component makes them, and the file is renamed into place by path.
      if (compress.MakeDirectories) {
        size_t cut = current.find_last_of("\\/");
        if (cut != std::string::npos && cut > 0) compress.MakeFolderPath(current.substr(0, cut));
      }
      dest = TFileStream::CreateUnique(fs::path(host_path).parent_path().string(), ".qobz-");
      final_path = host_path;
    } else {
      if (old.type() == fs::file_type::not_found)
        dest = TFileStream::CreateEntryBelow(s.target, current, compress.MakeDirectories, &folders,
                                             /*only_new=*/true);
      if (!dest)
        dest =
            TFileStream::CreatePassingBelow(s.target, current, compress.MakeDirectories, &folders);
    }
    CheckSize(entry, reader.ExtractToFile(*dest));
    if (dest->Passing() && !dest->Commit())
      throw EFCreateError("Cannot create file \"" + path + "\". " + std::strerror(errno));
    if (!final_path.empty() && !platform::RenameFile(dest->Path(), final_path))
      throw EFCreateError("Cannot create file \"" + final_path + "\". " + std::strerror(errno));
    dest->Keep();
  } catch (const EFCreateError& e) {
    if (dest) dest->Remove();
    const bool missing = e.Message().find("No such file") != std::string::npos;
    out.report.Error(s.archive, current,
                     e.Message() + (missing && !compress.MakeDirectories
                                        ? " (folders are made unless --no-mkdirs is given)"
                                        : ""));
    out.failed = true;
  } catch (const Exception& e) {
    if (dest) dest->Remove();
    out.report.Error(s.archive, current, e.Message());
    out.failed = out.damaged = true;
  }
}

// An entry found by the walk of headers, for the threads that share out the work.
struct Job {
  std::string name;
  int64_t header_position;  // of its entry header
  int64_t packed_offset;
  int64_t done;  // the unpacked bytes counted before it
  int64_t size;
};

// A name as the file system sees it, for telling whether two entries touch the same path:
// separators unified, empty and "." segments dropped, letters folded unless the target is known
// to tell them apart.
std::string PathKey(const std::string& name, bool fold) {
  std::string key;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    if (end > start && name.compare(start, end - start, ".") != 0) {
      if (!key.empty()) key += '/';
      for (size_t i = start; i < end; ++i)
        key +=
            fold ? static_cast<char>(std::tolower(static_cast<unsigned char>(name[i]))) : name[i];
    }
    start = end + 1;
  }
  return key;
}

// Whether the file system of folder (empty: the current one) tells "a" from "A": a new file of a
// lower-case name is looked for by its upper-case name. When that cannot be found out, no.
bool TellsCaseApart(const std::string& folder) {
  std::unique_ptr<TFileStream> probe;
  try {
    probe = TFileStream::CreateUnique(folder, ".qobz-case-");
  } catch (const Exception&) {
    return false;
  }
  const std::string path = probe->Path();
  probe.reset();
  const size_t base = path.find_last_of("\\/") + 1;  // npos + 1 is 0
  std::string upper = path;
  for (size_t i = base; i < upper.size(); ++i)
    upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
  std::error_code ec;
  const bool apart = upper != path && !fs::exists(fs::symlink_status(upper, ec));
  platform::DeleteFile(path);
  return apart;
}

// Whether the entries can be made in any order with the same result: no name is given twice, none
// is a folder of another, none is absolute. Names that differ in case only count as the same where
// the target folds case (Linux headers hold such pairs: xt_CONNMARK.h and xt_connmark.h).
bool OrderFree(const std::vector<Job>& jobs, const std::string& target) {
  std::unordered_set<std::string> files, folders;
  const bool fold = !TellsCaseApart(target);
  for (const Job& job : jobs) {
    if (IsAbsoluteName(job.name)) return false;
    std::string key = PathKey(job.name, fold);
    if (folders.count(key) || !files.insert(key).second) return false;
    for (size_t cut = key.find('/'); cut != std::string::npos; cut = key.find('/', cut + 1)) {
      std::string folder = key.substr(0, cut);
      if (files.count(folder)) return false;
      folders.insert(std::move(folder));
    }
  }
  return true;
}

// The number of threads for x and t: -j N, by default one per core, and no more than the files
// the process may open allow, each thread holding up to `descriptors` of them (a few are left for
// the rest of the process).
int Jobs(const Args& args, int descriptors) {
  constexpr int kReserved = 16;  // standard streams, the main archive stream, the library's own
  const int wanted = static_cast<int>(args.Number("--jobs", TJobPool::Cores(), 1, 256));
  return std::max(1, std::min(wanted, (platform::OpenFileLimit() - kReserved) / descriptors));
}

// Whether an archive file can be opened again by each thread and read at any place.
bool CanShareOut(const std::string& archive, TStream& in) {
  std::error_code ec;
  return archive != "-" && in.Position() >= 0 && fs::is_regular_file(archive, ec);
}

// Runs work(reader, job, outcome) for every job on `threads` workers (the calling thread one of
// them), each with its own archive stream and component made by setup, and hands the outcomes to
// emit, on the calling thread, in the jobs' order. The calling thread says what is ready in order
// before it takes another job, and sleeps only when no job is left: entries are often small, and a
// wake per entry would cost more than many of them take. The outcomes waiting to be said are small
// (the lines to say), whatever the entries' sizes.
void ShareOut(const std::string& archive, int64_t offset, int threads, const std::vector<Job>& jobs,
              const std::function<void(TCompress&)>& setup,
              const std::function<void(TCompress&, TArchiveReader&, TFolderWalk&, Outcome&)>& work,
              const std::function<void(size_t, Outcome&)>& emit) {
  // One worker's own archive stream, component and folders, made at its first job.
  struct Worker {
    std::exception_ptr broken;  // the archive could not be opened: every job taken fails
    std::unique_ptr<TStream> in;
    TCompress compress;
    std::unique_ptr<TArchiveReader> reader;
    TFolderWalk folders;
  };
  TJobPool pool(threads, {}, /*caller_helps=*/true);
  std::vector<std::unique_ptr<Worker>> workers(static_cast<size_t>(pool.Workers()));
  std::vector<Outcome> outcomes(jobs.size());
  auto run = [&](size_t worker, size_t i) -> int64_t {
    if (!workers[worker]) {
      auto w = std::make_unique<Worker>();
      try {
        setup(w->compress);
        w->in = OpenArchive(archive, offset);
        w->reader = std::make_unique<TArchiveReader>(w->compress, *w->in);
      } catch (...) {
        w->broken = std::current_exception();
      }
      workers[worker] = std::move(w);
    }
    Worker& w = *workers[worker];
    Outcome& outcome = outcomes[i];
    try {
      if (w.broken) std::rethrow_exception(w.broken);
      const Job& job = jobs[i];
      w.reader->MoveTo(job.header_position, job.done);
      // The archive may have changed since the walk of headers: the entry must be the same.
      if (!w.reader->Next() || w.reader->Name() != job.name ||
          w.reader->PackedOffset() != job.packed_offset)
        throw Exception("the archive changed while it was read");
      work(w.compress, *w.reader, w.folders, outcome);
    } catch (...) {
      outcome.fatal = std::current_exception();
    }
    return 0;
  };
  pool.Run(jobs.size(), run, [&](size_t i) {
    Outcome outcome = std::move(outcomes[i]);
    emit(i, outcome);
  });
}

// One walk of the headers from the reader's place: the entries that `selects` takes. A failure
// ends the walk and is kept in walk_error, to be raised once the entries found are done; current
// names the entry read last.
std::vector<Job> FindJobs(TArchiveReader& reader,
                          const std::function<bool(const std::string&)>& selects,
                          std::string& current, std::exception_ptr& walk_error) {
  std::vector<Job> jobs;
  try {
    while (reader.Next()) {
      current = reader.Name();
      if (!selects(current)) continue;
      const TEntryHeader& entry = reader.Entry();
      jobs.push_back({current, reader.PackedOffset() - kEntryHeaderSize - entry.NameLength,
                      reader.PackedOffset(), reader.Done(), entry.UnpackedSize});
    }
  } catch (...) {
    walk_error = std::current_exception();
  }
  return jobs;
}

// ShareOut for x and t: each entry's progress and lines come in the entries' order, a failure that
// ends the command is raised there, and count takes each outcome; then the walk's own failure.
// current names the entry being said, and afterwards the walk's last entry again.
void ShareOutInOrder(
    const std::string& archive, int64_t offset, int threads, const std::vector<Job>& jobs,
    const std::exception_ptr& walk_error, const std::function<void(TCompress&)>& setup,
    const std::function<void(TCompress&, TArchiveReader&, TFolderWalk&, Outcome&)>& work,
    std::string& current, const std::function<void(const Outcome&)>& count) {
  Progress& progress = Progress::Get();
  const std::string walk_current = current;
  ShareOut(archive, offset, threads, jobs, setup, work, [&](size_t i, Outcome& out) {
    current = jobs[i].name;
    progress.Entry(static_cast<int64_t>(i), jobs[i].done, jobs[i].size);
    out.report.Flush();
    if (out.fatal) std::rethrow_exception(out.fatal);
    count(out);
  });
  current = walk_current;
  if (walk_error) std::rethrow_exception(walk_error);
}

}  // namespace

int CommandExtract(const Args& args) {
  if (args.Operands().empty()) throw UsageError("need an archive");
  ExtractSettings s;
  s.archive = args.Operands()[0];
  const std::string& archive = s.archive;
  TCompress compress;
  compress.Key = static_cast<int32_t>(args.Number("--key", 0, INT32_MIN, UINT32_MAX));
  compress.MakeDirectories = !args.Flag("--no-mkdirs");
  compress.CheckSpaceBeforeExpand = args.Flag("--check-space");
  const bool to_stdout = args.Flag("--to-stdout");
  s.keep_old = args.Flag("--keep-old-files");
  s.host_target = args.Value("--directory");
  s.target = s.host_target;
  std::replace(s.target.begin(), s.target.end(), '/', '\\');
  compress.SetTargetPath(s.target);
  s.allow_absolute = args.Flag("--absolute-names");
  // Each thread: its archive stream, the folders its walk holds, one below them, the file made.
  const int threads = Jobs(args, static_cast<int>(TFolderWalk::kHeld) + 3);
  const int64_t offset = args.Number("--offset", 0, 0, INT64_MAX);
  // Member patterns as the user writes paths ("./a/b" is "a/b").
  std::vector<std::string> patterns;
  for (auto it = args.Operands().begin() + 1; it != args.Operands().end(); ++it)
    patterns.push_back(DisplayName(StoredName(*it)));
  std::vector<bool> matched(patterns.size(), false);
  auto selects = [&](const std::string& name) {
    bool selected = patterns.empty();
    for (size_t i = 0; i < patterns.size(); ++i)
      if (MemberMatches(patterns[i], name)) selected = matched[i] = true;
    return selected;
  };

  int failed = 0;
  bool last_failed = false;
  auto count = [&](const Outcome& out) {
    failed += out.failed ? 1 : 0;
    last_failed = out.damaged;
  };
  std::string current;
  // Only data bound for standard output take its large buffer: the -v lines of an extraction
  // to files stay line by line on a terminal.
  std::optional<StdoutStream> data_out;
  if (to_stdout) data_out.emplace();
  try {
    auto in = OpenArchive(archive, offset);
    auto reader = StartWalk(compress, *in);
    Progress& progress = Progress::Get();
    progress.Begin(compress, reader->Header().TotalSize, -1);
    // The target folder itself is the user's choice, made as given (through links too).
    if (compress.MakeDirectories && !s.target.empty() && !to_stdout)
      compress.MakeFolderPath(s.target);
    bool shared = false;
    // Several threads share out the entries when the archive can be read at any place and the
    // entries' files do not depend on each other's order; first one walk of the headers finds them.
    if (threads > 1 && !to_stdout && CanShareOut(archive, *in)) {
      const int64_t first = in->Position();
      std::exception_ptr walk_error;
      const std::vector<Job> jobs = FindJobs(*reader, selects, current, walk_error);
      shared = OrderFree(jobs, s.host_target);
      if (shared) {
        auto setup = [&](TCompress& c) {
          c.Key = compress.Key;
          c.MakeDirectories = compress.MakeDirectories;
          c.CheckSpaceBeforeExpand = compress.CheckSpaceBeforeExpand;
          c.SetTargetPath(s.target);
        };
        auto work = [&](TCompress& c, TArchiveReader& r, TFolderWalk& f, Outcome& out) {
          ExtractEntry(s, c, r, f, out);
        };
        ShareOutInOrder(archive, offset, threads, jobs, walk_error, setup, work, current, count);
      } else {
        // Names that depend on each other's order: one thread, from the first entry again.
        reader->MoveTo(first, 0);
        std::fill(matched.begin(), matched.end(), false);
      }
    }
    if (!shared) {
      int64_t index = 0;
      TFolderWalk folders;
      while (reader->Next()) {
        const TEntryHeader& entry = reader->Entry();
        current = reader->Name();
        if (!selects(current)) continue;
        progress.Entry(index++, reader->Done(), entry.UnpackedSize);
        last_failed = false;
        if (to_stdout) {
          if (NoExpander(entry)) {
            PrintError(archive, current, kNoExpander);
            ++failed;
            continue;
          }
          Say(ShownName(current), true);
          try {
            CheckSize(entry, reader->Extract(*data_out));
          } catch (const EWriteError&) {
            // Standard output failed: nothing more can go there; the end of the command says so,
            // once (FinishStandardOutput).
            return 1;
          } catch (const Exception& e) {
            PrintError(archive, current, e.Message());
            ++failed;
            last_failed = true;
          }
          continue;
        }
        Outcome out;
        out.report = Report(true);
        ExtractEntry(s, compress, *reader, folders, out);
        count(out);
      }
    }
    current.clear();
    // A walk cut short right after a damaged entry was reported with that entry.
    if (!last_failed) CheckWalkEnd(*reader);
    if (data_out) data_out->Close();
  } catch (const EWriteError& e) {
    if (to_stdout) return 1;  // told once, at the end of the command
    PrintError(archive, current, e.Message());
    return 1;
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
  const int threads = Jobs(args, 1);  // each thread: its archive stream
  const int64_t offset = args.Number("--offset", 0, 0, INT64_MAX);
  std::string current;
  int64_t tested = 0, failed = 0;
  bool last_failed = false;
  // Tests the current entry of a walk.
  auto test = [&archive](TArchiveReader& reader, Outcome& out) {
    if (NoExpander(reader.Entry())) {
      out.report.Error(archive, reader.Name(), kNoExpander);
      out.failed = true;
      return;
    }
    try {
      CheckSize(reader.Entry(), reader.Test());
      out.report.Line("OK  " + ShownName(reader.Name()), false);
    } catch (const Exception& e) {
      out.report.Error(archive, reader.Name(), e.Message());
      out.failed = out.damaged = true;
    }
  };
  try {
    auto in = OpenArchive(archive, offset);
    // The same walk as an extraction, with every entry expanded to nowhere.
    auto reader = StartWalk(compress, *in);
    Progress& progress = Progress::Get();
    progress.Begin(compress, reader->Header().TotalSize, -1);
    auto count = [&](const Outcome& out) {
      (out.failed ? failed : tested) += 1;
      last_failed = out.damaged;
    };
    if (threads > 1 && CanShareOut(archive, *in)) {
      // One walk of the headers finds the entries; the threads share them out.
      std::exception_ptr walk_error;
      const std::vector<Job> jobs = FindJobs(
          *reader, [](const std::string&) { return true; }, current, walk_error);
      ShareOutInOrder(
          archive, offset, threads, jobs, walk_error, [&](TCompress& c) { c.Key = compress.Key; },
          [&](TCompress&, TArchiveReader& r, TFolderWalk&, Outcome& out) { test(r, out); }, current,
          count);
    } else {
      while (reader->Next()) {
        current = reader->Name();
        progress.Entry(tested + failed, reader->Done(), reader->Entry().UnpackedSize);
        Outcome out;
        out.report = Report(true);
        test(*reader, out);
        count(out);
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
