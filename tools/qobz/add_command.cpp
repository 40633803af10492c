// qobz a: make archives.
#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "archive/job_pool.h"
#include "common.h"
#include "platform/platform.h"
#include "qobz/methods.h"
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
  Collector(const OutputFile& output, std::vector<std::string> excludes)
      : output_(output), excludes_(std::move(excludes)) {}

  void Add(const std::vector<std::string>& operands) {
    for (const std::string& operand : operands) Survey(operand);
    for (const std::string& operand : operands) Visit(operand, true);
  }
  std::vector<Input>& Inputs() { return inputs_; }
  // How many paths were passed over (the exit code is then 1).
  int Skipped() const { return skipped_; }
  // The paths passed over inside folders while the inputs were gathered, each with the reason.
  const std::vector<std::pair<std::string, std::string>>& PassedOver() const {
    return passed_over_;
  }
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
    passed_over_.push_back({path, why});
    Skip(path, why);
  }

  // --exclude: a wildcard matched against the last name of the path and against the whole path.
  bool Excluded(const fs::path& path) const {
    const std::string whole = path.generic_string(), last = path.filename().string();
    for (const std::string& pattern : excludes_)
      if (fnmatch(pattern.c_str(), last.c_str(), 0) == 0 ||
          fnmatch(pattern.c_str(), whole.c_str(), 0) == 0)
        return true;
    return false;
  }

  void Visit(const fs::path& path, bool operand) {
    const std::string text = path.string();
    if (Excluded(path)) return;
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
  const std::vector<std::string> excludes_;
  std::vector<Input> inputs_;
  std::set<platform::FileIdentity> surveyed_;  // reached without a link
  std::set<platform::FileIdentity> folders_;   // entered
  std::set<std::string> warned_;
  std::vector<std::pair<std::string, std::string>> passed_over_;
  int skipped_ = 0;
};

// An entry of an archive being rewritten, copied over as it is.
struct OldEntry {
  TEntryHeader header;
  std::string name;
  int64_t offset;  // of its first packed byte
};

// The archive that a, or d, rewrites.
struct OldArchive {
  std::unique_ptr<TStream> in;
  TArchiveHeader header;
  std::string id;
  std::vector<OldEntry> entries;
};

// Reads the entries of the archive at path; false when there is none yet (no file, an empty
// file, standard output). Anything else that is not a sound archive is an error: it is never
// replaced by accident.
bool ReadOldArchive(const std::string& path, OldArchive& old) {
  std::error_code ec;
  if (path == "-" || !fs::exists(path, ec) ||
      (fs::is_regular_file(path, ec) && fs::is_empty(path, ec)))
    return false;
  if (!fs::is_regular_file(path, ec)) return false;  // a pipe or a device is written into
  old.in = OpenArchive(path, 0);
  TCompress compress;
  compress.OnRecognize = [](const std::string&, bool& recognized) { recognized = true; };
  auto reader = StartWalk(compress, *old.in);
  old.header = reader->Header();
  old.id = reader->CompressID();
  while (reader->Next())
    old.entries.push_back({reader->Entry(), reader->Name(), reader->PackedOffset()});
  CheckWalkEnd(*reader);
  return true;
}

// Writes an entry of the old archive to out as it is: header, name and packed bytes. A name that
// could not name a file here is kept byte for byte, with a warning; the answer says so.
bool CopyEntry(TStream& in, const OldEntry& entry, TStream& out) {
  uint8_t raw[kEntryHeaderSize];
  entry.header.Encode(raw);
  out.WriteBuffer(raw, kEntryHeaderSize);
  out.WriteBuffer(entry.name.data(), entry.header.NameLength);
  if (in.Seek(entry.offset, SeekOrigin::Begin) != entry.offset)
    throw EInOutError("Cannot seek to the entry " + ShownName(entry.name));
  std::vector<uint8_t> chunk(1 << 16);
  for (int64_t left = entry.header.PackedSize; left > 0;) {
    const int32_t n =
        in.Read(chunk.data(), static_cast<int32_t>(std::min<int64_t>(left, chunk.size())));
    if (n <= 0) throw EInOutError("The archive ended inside the entry " + ShownName(entry.name));
    out.WriteBuffer(chunk.data(), n);
    left -= n;
  }
  const std::string refusal = platform::NameRefusal(entry.name);
  if (refusal.empty()) return false;
  Warn(ShownName(entry.name) + ": kept as it is, but x would refuse it (" +
       refusal.substr(refusal.find(':') + 2) + ")");
  return true;
}

// Writes header at start with the total of the unpacked sizes.
void WriteArchiveHeader(TStream& out, int64_t start, TArchiveHeader header, int64_t total) {
  if (total > INT32_MAX) throw Exception("The entries would add up to more than 2 GiB - 1 bytes");
  header.TotalSize = static_cast<int32_t>(total);
  uint8_t raw[kArchiveHeaderSize];
  header.Encode(raw);
  const int64_t end = out.Position();
  out.Seek(start, SeekOrigin::Begin);
  out.WriteBuffer(raw, kArchiveHeaderSize);
  if (end > start) out.Seek(end, SeekOrigin::Begin);
}

bool IsBuiltInMethod(const std::string& id) {
  const TMethodInfo* method = FindMethodById(id);
  return method && !method->ApplicationDefined;
}

}  // namespace

int CommandAdd(const Args& args) {
  const std::vector<std::string> named = args.Values("--entry");
  if (args.Operands().empty() || (args.Operands().size() < 2 && named.empty()))
    throw UsageError("need an archive and at least one file");
  std::string archive = args.Operands()[0];
  TCompress compress;
  compress.Key = static_cast<int32_t>(args.Number("--key", 0, INT32_MIN, UINT32_MAX));
  int32_t lock = static_cast<int32_t>(args.Number("--lock", compress.Key != 0 ? 2 : 0, 0, 2));
  if (compress.Key != 0 && lock == 0) throw UsageError("--key needs --lock 1 or 2");
  if (compress.Key == 0 && lock != 0) throw UsageError("--lock needs a non-zero --key");
  const int jobs = static_cast<int>(args.Number("--jobs", TJobPool::Cores(), 1, 256));
  if (args.Has("--method")) ParseMethod(args.Value("--method"));  // a usage error comes first
  // -C DIR: the inputs are read from DIR; the archive stays where it was named.
  if (args.Has("--directory")) {
    std::error_code ec;
    if (archive != "-") archive = fs::absolute(archive, ec).string();
    fs::current_path(args.Value("--directory"), ec);
    if (ec)
      throw Exception("Cannot change to the folder \"" + args.Value("--directory") +
                      "\": " + ec.message());
  }
  const std::string shown = args.Operands()[0];

  OutputFile output(archive);
  Collector collector(output, args.Values("--exclude"));
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

  const bool keep_unreadable = args.Flag("--keep-unreadable");
  std::string current;
  bool warned = false;  // a kept name was warned of
  try {
    // An existing archive keeps the entries that no input replaces, copied over as they are.
    OldArchive old;
    const bool adding = ReadOldArchive(archive, old);
    if (adding && !IsBuiltInMethod(old.id))
      throw Exception("Cannot add to an archive of method \"" + old.id + "\"");
    const uint8_t method = ParseMethod(args.Has("--method") ? args.Value("--method")
                                       : adding             ? old.id
                                                            : "LH5");
    std::set<std::string> old_names;
    for (const OldEntry& entry : old.entries) old_names.insert(entry.name);
    const std::string left_as_it_was =
        "; the archive is left as it was (--keep-unreadable keeps the old entry and adds the rest)";
    // A path passed over while gathering (a file that became a pipe or a dangling link, a folder
    // that cannot be read) may stand where old entries are: keeping them while the rest is
    // updated is only done when asked for.
    if (!keep_unreadable)
      for (const auto& [path, why] : collector.PassedOver()) {
        const std::string name = collector.Name(path);
        const bool named_again =
            std::any_of(old_names.begin(), old_names.end(), [&](const std::string& old_name) {
              return old_name == name || old_name.rfind(name + "\\", 0) == 0;
            });
        if (named_again) throw Exception("Cannot add \"" + path + "\": " + why + left_as_it_was);
      }
    // An input that would replace an entry but cannot be read when its turn comes (gone, no
    // longer a file, unreadable, or changing while it is packed) must not cost the entry: the
    // command fails naming it and the archive stays as it was. With --keep-unreadable the entry
    // is kept instead, with a warning, and the archive is made again without that input.
    std::set<std::string> kept_back;
    for (bool made = false; !made;) {
      std::vector<Input> now;
      for (const Input& in : inputs)
        if (!kept_back.count(in.stored)) now.push_back(in);
      std::set<std::string> replaced;
      for (const Input& in : now) replaced.insert(in.stored);
      std::vector<const OldEntry*> kept;
      int64_t kept_total = 0;
      for (const OldEntry& entry : old.entries) {
        if (replaced.count(entry.name)) continue;
        kept.push_back(&entry);
        kept_total += entry.header.UnpackedSize;
      }
      // Expansion stops once the sizes read add up to the archive's total, so empty entries
      // placed last would never come out: they all go first, the old ones ahead of the new.
      std::stable_partition(now.begin(), now.end(), [](const Input& in) { return in.size == 0; });
      std::stable_partition(kept.begin(), kept.end(),
                            [](const OldEntry* e) { return e->header.UnpackedSize == 0; });

      std::vector<TFileToAdd> files;
      std::vector<int64_t> before;  // bytes of the new files ahead of each, for the progress bar
      int64_t total = 0;
      for (const Input& in : now) {
        files.push_back({in.path, in.stored});
        before.push_back(total);
        total += static_cast<int64_t>(in.size);
      }
      Progress& progress = Progress::Get();
      progress.Begin(compress, total, static_cast<int64_t>(files.size()));
      size_t first = 0;  // index of the first file of the batch being added
      size_t at = 0;     // index of the file in its turn
      TAddFilesEvents events;
      events.BeforeEntry = [&](size_t index) {
        at = first + index;
        current = files[at].StoredName;
        progress.Entry(static_cast<int64_t>(at), before[at], static_cast<int64_t>(now[at].size));
        Say(ShownName(current), archive == "-");
      };
      // Nothing of an entry is written before its file is open. A file under a new name is
      // passed over; one that would replace an entry stops the run (below).
      events.Skipped = [&](size_t index, const EFOpenError& e) {
        if (old_names.count(files[first + index].StoredName)) throw e;
        collector.Skip(files[first + index].Path, e.Message());
      };
      TFileStream& out = output.Stream();
      TArchiveWriter writer(compress, out, method, lock);
      // Large files packed ahead wait beside the new archive.
      std::string folder = fs::path(out.Path()).parent_path().string();
      writer.SetSpillFolder(folder.empty() ? "." : folder);
      writer.SetBest(args.Flag("--best"));
      const size_t new_empty = static_cast<size_t>(
          std::find_if(now.begin(), now.end(), [](const Input& in) { return in.size != 0; }) -
          now.begin());
      const size_t old_empty = static_cast<size_t>(
          std::find_if(kept.begin(), kept.end(),
                       [](const OldEntry* e) { return e->header.UnpackedSize != 0; }) -
          kept.begin());
      int unusable = 0;  // kept names that could not name a file here
      auto copy_old = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
          current = kept[i]->name;
          unusable += CopyEntry(*old.in, *kept[i], out) ? 1 : 0;
        }
      };
      // Answers false when an input that replaces an entry could not be read.
      auto add_new = [&](size_t from, size_t to) {
        if (from == to) return true;
        first = from;
        std::string why;
        try {
          writer.AddFiles({files.begin() + static_cast<std::ptrdiff_t>(from),
                           files.begin() + static_cast<std::ptrdiff_t>(to)},
                          jobs, events);
          return true;
        } catch (const EFOpenError& e) {
          why = e.Message();
        } catch (const EInOutError& e) {  // the file could not be read to its end
          why = e.Message();
        }
        if (!old_names.count(files[at].StoredName)) throw Exception(why);
        if (!keep_unreadable) throw Exception(why + left_as_it_was);
        collector.Skip(files[at].Path, why + "; the archive keeps its old entry");
        kept_back.insert(files[at].StoredName);
        return false;
      };
      copy_old(0, old_empty);
      if (!add_new(0, new_empty)) {
        output.Discard();
        continue;
      }
      copy_old(old_empty, kept.size());
      if (!add_new(new_empty, files.size())) {
        output.Discard();
        continue;
      }
      current.clear();
      writer.Finish();
      // The writer's header, keeping the lock mark of an archive that holds locked entries.
      TArchiveHeader header;
      compress.InitArchiveHeader(header, FindMethod(method)->Id, caMulti, 0);
      if (adding && old.header.KeyLock != 0) header.KeyLock = old.header.KeyLock;
      WriteArchiveHeader(out, 0, header, writer.TotalSize() + kept_total);
      output.Commit();
      warned = unusable > 0;
      made = true;
    }
  } catch (const Exception& e) {
    PrintError(shown, current, e.Message());
    return 1;
  }
  ClearProgress();
  return collector.Skipped() > 0 || warned ? 1 : 0;
}

int CommandDelete(const Args& args) {
  if (args.Operands().size() < 2) throw UsageError("need an archive and at least one name");
  const std::string archive = args.Operands()[0];
  if (archive == "-") throw UsageError("d rewrites an archive file, not standard input");
  std::vector<std::string> patterns;
  for (auto it = args.Operands().begin() + 1; it != args.Operands().end(); ++it)
    patterns.push_back(DisplayName(StoredName(*it)));
  std::vector<bool> matched(patterns.size(), false);
  int missing = 0;
  std::string current;
  try {
    OutputFile output(archive);
    OldArchive old;
    if (!ReadOldArchive(archive, old)) throw EFOpenError("Cannot open file \"" + archive + "\"");
    std::vector<const OldEntry*> kept;
    int64_t total = 0;
    for (const OldEntry& entry : old.entries) {
      bool selected = false;
      for (size_t i = 0; i < patterns.size(); ++i)
        if (MemberMatches(patterns[i], entry.name)) selected = matched[i] = true;
      if (selected) {
        Say(ShownName(entry.name), false);
        continue;
      }
      kept.push_back(&entry);
      total += entry.header.UnpackedSize;
    }
    for (size_t i = 0; i < patterns.size(); ++i) {
      if (matched[i]) continue;
      PrintError(archive, "", patterns[i] + ": not found in the archive");
      ++missing;
    }
    if (kept.size() == old.entries.size()) return 1;  // nothing to delete: left as it was
    TFileStream& out = output.Stream();
    WriteArchiveHeader(out, 0, old.header, 0);
    for (const OldEntry* entry : kept) {
      current = entry->name;
      missing += CopyEntry(*old.in, *entry, out) ? 1 : 0;
    }
    current.clear();
    WriteArchiveHeader(out, 0, old.header, total);
    output.Commit();
  } catch (const Exception& e) {
    PrintError(archive, current, e.Message());
    return 1;
  }
  return missing > 0 ? 1 : 0;
}

}  // namespace qobz::tool
