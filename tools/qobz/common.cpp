#include "common.h"

#include <fnmatch.h>
#include <getopt.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "platform/platform.h"
#include "qobz/archive_reader.h"
#include "qobz/headers.h"
#include "qobz/methods.h"

namespace fs = std::filesystem;

namespace qobz::tool {

const std::vector<OptionInfo> kCommonOptions = {
    {"quiet", 'q', nullptr, "print nothing but errors (no progress, no summary)"},
    {"verbose", 'v', nullptr, "name each entry as it is handled"},
    {"help", 'h', nullptr, "show this help"},
};

Verbosity g_verbosity = Verbosity::Normal;

std::vector<const OptionInfo*> WithCommonOptions(const std::vector<OptionInfo>& command_options) {
  std::vector<const OptionInfo*> all;
  for (const OptionInfo& o : command_options) all.push_back(&o);
  for (const OptionInfo& o : kCommonOptions) all.push_back(&o);
  return all;
}

Args::Args(int argc, char** argv, const std::vector<OptionInfo>& command_options) {
  const std::vector<const OptionInfo*> options_all = WithCommonOptions(command_options);
  // ':' first: a missing value is answered with ':' rather than '?'. Options without a short
  // letter are told apart by 256 + their index.
  std::string short_options = ":";
  std::vector<option> long_options;
  for (size_t i = 0; i < options_all.size(); ++i) {
    const OptionInfo& o = *options_all[i];
    const int val = o.short_name ? o.short_name : 256 + static_cast<int>(i);
    if (o.short_name) short_options += std::string(1, o.short_name) + (o.value ? ":" : "");
    long_options.push_back({o.long_name, o.value ? required_argument : no_argument, nullptr, val});
  }
  long_options.push_back({nullptr, 0, nullptr, 0});
  // argv[0] is skipped by getopt: give it the command's own argument list behind a dummy name.
  std::vector<char*> list{const_cast<char*>("qobz")};
  list.insert(list.end(), argv, argv + argc);
  optind = 0;  // a full reset, in case the parser ran before
  opterr = 0;
  int c, index = -1;
  while ((index = -1, c = getopt_long(static_cast<int>(list.size()), list.data(),
                                      short_options.c_str(), long_options.data(), &index)) != -1) {
    const char* bad = list[static_cast<size_t>(optind) - 1];
    if (c == '?' || c == ':') {
      std::string what = optopt > 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt)
                                                    : std::string(bad);
      throw UsageError(c == '?' ? "unknown option " + what : "option " + what + " needs a value");
    }
    const OptionInfo* found = nullptr;
    for (size_t i = 0; i < options_all.size(); ++i)
      if (c ==
          (options_all[i]->short_name ? options_all[i]->short_name : 256 + static_cast<int>(i)))
        found = options_all[i];
    values_.emplace_back(std::string("--") + found->long_name,
                         optarg && found->value ? optarg : "");
  }
  operands_.assign(list.begin() + optind, list.end());
}

bool Args::Flag(const std::string& name) const {
  for (const auto& [key, value] : values_)
    if (key == name) return true;
  return false;
}

std::string Args::Value(const std::string& name, const std::string& fallback) const {
  std::string result = fallback;
  for (const auto& [key, value] : values_)
    if (key == name) result = value;  // the last one wins
  return result;
}

std::vector<std::string> Args::Values(const std::string& name) const {
  std::vector<std::string> result;
  for (const auto& [key, value] : values_)
    if (key == name) result.push_back(value);
  return result;
}

int64_t Args::Number(const std::string& name, int64_t fallback, int64_t min, int64_t max) const {
  return Has(name) ? ParseNumber(Value(name), name, min, max) : fallback;
}

int64_t ParseNumber(const std::string& text, const std::string& what, int64_t min, int64_t max) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < min || v > max)
    throw UsageError(what + " must be a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not \"" + text + "\"");
  return v;
}

uint8_t ParseMethod(const std::string& name) {
  const TMethodInfo* method = FindMethodById(name, true);
  if (method && !method->ApplicationDefined) return method->Code;
  std::string ids;  // "NON, RLE, LZH or LH5"
  std::vector<const char*> built_in;
  for (int code = 0; const TMethodInfo* m = FindMethod(code); ++code)
    if (!m->ApplicationDefined) built_in.push_back(m->Id);
  for (size_t i = 0; i < built_in.size(); ++i)
    ids += (i == 0 ? "" : i + 1 == built_in.size() ? " or " : ", ") + std::string(built_in[i]);
  throw UsageError("unknown method \"" + name + "\" (use " + ids + ")");
}

Progress& Progress::Get() {
  static Progress progress;
  return progress;
}

namespace {

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string Bytes(double n) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int u = 0;
  while (n >= 1024 && u < 3) n /= 1024, ++u;
  char text[32];
  std::snprintf(text, sizeof text, u ? "%.1f %s" : "%.0f %s", n, units[u]);
  return text;
}

int TerminalWidth() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

void Progress::Begin(TCompress& compress, int64_t total_bytes, int64_t total_entries) {
  enabled_ = g_verbosity != Verbosity::Quiet && isatty(STDERR_FILENO);
  if (!enabled_) return;
  total_bytes_ = total_bytes;
  total_entries_ = total_entries;
  start_ = Now();
  compress.OnShowProgress = [this](int32_t& percent) {
    done_ = base_ + size_ * std::clamp(percent, 0, 100) / 100;
    Draw(false);
  };
}

void Progress::Entry(int64_t index, int64_t bytes_before, int64_t size) {
  index_ = index;
  base_ = done_ = bytes_before;
  size_ = size;
  if (enabled_) Draw(false);
}

void Progress::Draw(bool force) {
  const double now = Now();
  if (!force && last_draw_ >= 0 && now - last_draw_ < 0.1) return;  // ten redraws a second
  last_draw_ = now;
  const double elapsed = now - start_;
  const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
  std::string text = " " + Bytes(static_cast<double>(done_)) + "/" +
                     Bytes(static_cast<double>(total_bytes_)) + "  " + std::to_string(index_) +
                     (total_entries_ >= 0 ? "/" + std::to_string(total_entries_) : "") +
                     " entries  " + Bytes(rate) + "/s";
  if (rate > 0 && total_bytes_ > done_) {
    const int64_t left = static_cast<int64_t>(static_cast<double>(total_bytes_ - done_) / rate);
    char eta[32];
    std::snprintf(eta, sizeof eta, "  %lld:%02lld left", static_cast<long long>(left / 60),
                  static_cast<long long>(left % 60));
    text += eta;
  }
  const int width = TerminalWidth() - 1;  // the last column would wrap on some terminals
  const int percent =
      total_bytes_ > 0 ? static_cast<int>(std::min<int64_t>(100, done_ * 100 / total_bytes_)) : 0;
  char head[8];
  std::snprintf(head, sizeof head, "%3d%% ", percent);
  const int bar = width - static_cast<int>(text.size()) - 7;
  std::string line = head;
  if (bar >= 10) {
    const int filled = bar * percent / 100;
    line += "[" + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(bar - filled), ' ') + "]";
  }
  line += text;
  if (static_cast<int>(line.size()) > width) line.resize(static_cast<size_t>(std::max(width, 0)));
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void Progress::Clear() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
  last_draw_ = -1;  // drawn again at the next move
}

void ClearProgress() {
  Progress::Get().Clear();
}

// Opens the archive (standard input for "-"), positioned at --offset. An offset past the end of the
// file, or one the file cannot seek to, is an error rather than an empty archive.
std::unique_ptr<TStream> OpenArchive(const std::string& path, int64_t offset) {
  if (path == "-") {
    auto stream = std::make_unique<StdinStream>();
    char drop[8192];
    for (int64_t left = offset; left > 0;) {
      const int32_t n = stream->Read(drop, static_cast<int32_t>(std::min<int64_t>(left, 8192)));
      if (n <= 0)
        throw Exception("--offset " + std::to_string(offset) + " is past the end of the input");
      left -= n;
    }
    return stream;
  }
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

std::string DisplayName(const std::string& stored) {
#ifdef _WIN32
  return stored;
#else
  std::string name = stored;
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
#endif
}

namespace {
int g_stdout_errno = 0;  // why a write to standard output failed, when one did
}  // namespace

int FinishStandardOutput(int rc) {
  const bool failed_before = std::ferror(stdout) != 0;
  errno = 0;
  if (std::fflush(stdout) == 0 && !failed_before) return rc;
  const int err = errno != 0 ? errno : g_stdout_errno;
  if (err == EPIPE) return 1;
  ClearProgress();
  std::fprintf(stderr, "qobz: standard output: %s\n",
               err != 0 ? std::strerror(err) : "a write failed");
  return 1;
}

std::string ShownName(const std::string& stored) {
  return platform::EscapedName(DisplayName(stored));
}

bool MemberMatches(const std::string& pattern, const std::string& stored) {
  // fnmatch reads up to a NUL: a name that holds one is matched as it is shown, whole.
  const std::string name =
      stored.find('\0') == std::string::npos ? DisplayName(stored) : ShownName(stored);
  if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
  // A folder above the name: every prefix that ends before a separator.
  for (size_t cut = name.find('/'); cut != std::string::npos; cut = name.find('/', cut + 1))
    if (fnmatch(pattern.c_str(), name.substr(0, cut).c_str(), 0) == 0) return true;
  return false;
}

void PrintError(const std::string& archive, const std::string& entry, const std::string& what) {
  ClearProgress();
  // The component's messages name paths with backslashes: shown with the platform's separator.
  // Names in it may hold any byte an archive can: control bytes are shown escaped.
  const std::string shown = ShownName(what);
  if (entry.empty())
    std::fprintf(stderr, "qobz: %s: %s\n", archive.c_str(), shown.c_str());
  else
    std::fprintf(stderr, "qobz: %s: %s: %s\n", archive.c_str(), ShownName(entry).c_str(),
                 shown.c_str());
}

namespace {
constexpr size_t kStdioBuffer = size_t{1} << 20;
}

StdoutStream::StdoutStream() : StdoutStream(stdout, "standard output") {}

StdoutStream::StdoutStream(std::FILE* file, std::string name)
    : file_(file), name_(std::move(name)) {
  std::setvbuf(file_, nullptr, _IOFBF, kStdioBuffer);  // before the first write, as stdio needs
}

std::unique_ptr<StdoutStream> StdoutStream::Open(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw EFCreateError("Cannot create file \"" + path + "\". " + std::strerror(errno));
  return std::unique_ptr<StdoutStream>(new StdoutStream(file, "\"" + path + "\""));
}

StdoutStream::~StdoutStream() {
  if (file_ && file_ != stdout) std::fclose(file_);
}

void StdoutStream::WriteBuffer(const void* buffer, int32_t count) {
  if (count <= 0) return;
  if (std::fwrite(buffer, 1, static_cast<size_t>(count), file_) != static_cast<size_t>(count)) {
    if (file_ == stdout) g_stdout_errno = errno;
    throw EWriteError("Stream write error on " + name_ + ". " + std::strerror(errno));
  }
  written_ += count;
}

void StdoutStream::Close() {
  bool ok = std::fflush(file_) == 0;
  if (file_ != stdout) {
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
  }
  if (!ok) throw EWriteError("Stream write error on " + name_ + ". " + std::strerror(errno));
}

ReadAheadStream::ReadAheadStream(std::unique_ptr<TStream> source)
    : source_(std::move(source)), buffer_(kStdioBuffer) {}

int32_t ReadAheadStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count) {
    if (at_ == end_) {
      if (static_cast<size_t>(count - done) >= buffer_.size())
        return done + std::max(0, source_->Read(out + done, count - done));
      const int32_t n = source_->Read(buffer_.data(), static_cast<int32_t>(buffer_.size()));
      if (n <= 0) break;
      at_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(end_ - at_, static_cast<size_t>(count - done));
    std::memcpy(out + done, buffer_.data() + at_, n);
    at_ += n;
    done += static_cast<int32_t>(n);
  }
  return done;
}

void ReadAheadStream::WriteBuffer(const void*, int32_t) {
  throw EWriteError("Stream write error: an input cannot be written");
}

int64_t ReadAheadStream::Seek(int64_t offset, SeekOrigin origin) {
  const int64_t unread = static_cast<int64_t>(end_ - at_);
  if (origin == SeekOrigin::Current) {
    if (offset == 0) {
      const int64_t at = source_->Seek(0, SeekOrigin::Current);
      return at < 0 ? at : at - unread;
    }
    offset -= unread;
  }
  at_ = end_ = 0;
  return source_->Seek(offset, origin);
}

int32_t StdinStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  return static_cast<int32_t>(std::fread(buffer, 1, static_cast<size_t>(count), stdin));
}

void StdinStream::WriteBuffer(const void*, int32_t) {
  throw EWriteError("Stream write error: standard input cannot be written");
}

std::unique_ptr<TMemoryStream> ReadAll(TStream& in) {
  auto stream = std::make_unique<TMemoryStream>();
  std::vector<uint8_t>& data = stream->Data();
  uint8_t chunk[65536];
  int32_t n;
  while ((n = in.Read(chunk, sizeof chunk)) > 0) {
    data.insert(data.end(), chunk, chunk + n);
    if (data.size() > 2147483647u) throw UsageError("input larger than 2 GiB - 1");
  }
  return stream;
}

std::string StoredName(const std::string& host_path, std::string* stripped) {
  if (stripped) stripped->clear();
  std::vector<std::string> segments;
  bool leading_parent = false;
  size_t start = 0;
  while (start <= host_path.size()) {
    size_t end = host_path.find_first_of("/\\", start);
    if (end == std::string::npos) end = host_path.size();
    std::string segment = host_path.substr(start, end - start);
    start = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment != "..") {
      segments.push_back(std::move(segment));
    } else if (!segments.empty()) {
      segments.pop_back();
    } else {
      leading_parent = true;  // nothing left to go up from: it would leave the archive's root
    }
  }
  if (stripped) {
    if (leading_parent)
      *stripped = "../";
    else if (!host_path.empty() && (host_path[0] == '/' || host_path[0] == '\\'))
      *stripped = "/";
  }
  std::string name;
  for (const std::string& segment : segments) {
    if (!name.empty()) name += '\\';
    name += segment;
  }
  return name;
}

void Warn(const std::string& what) {
  ClearProgress();
  std::fprintf(stderr, "qobz: %s\n", what.c_str());
}

void Say(const std::string& text, bool data_on_stdout) {
  if (g_verbosity != Verbosity::Verbose) return;
  ClearProgress();
  std::fprintf(data_on_stdout ? stderr : stdout, "%s\n", text.c_str());
}

namespace {

// Where the temporary copy of a result bound for standard output, a pipe or a device is made.
std::string TempFolder() {
  std::error_code ec;
  fs::path folder = fs::temp_directory_path(ec);
  return ec ? std::string(".") : folder.string();
}

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  // Standard output is known by the name the system gives it.
  const std::string examined = path_ == "-" ? "/dev/stdout" : path_;
  platform::FileIdentity identity;
  if (platform::GetFileIdentity(examined, identity)) {
    has_identity_ = true;
    device_ = identity.device;
    file_ = identity.file;
  }
  if (path_ == "-") return;
  std::error_code ec;
  fs::file_status status = fs::status(path_, ec);
  if (ec && status.type() != fs::file_type::not_found)
    throw EFCreateError("Cannot create file \"" + path_ + "\". " + ec.message());
  if (status.type() == fs::file_type::not_found) {
    target_ = path_;  // a dangling link is replaced, never followed
  } else if (status.type() == fs::file_type::directory) {
    throw EFCreateError("Cannot create file \"" + path_ + "\". It is a folder");
  } else if (status.type() == fs::file_type::regular) {
    constexpr fs::perms kWrite =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    // As when a file is created in place: a read-only file is not replaced.
    if ((status.permissions() & kWrite) == fs::perms::none)
      throw EFCreateError("Cannot create file \"" + path_ + "\". Permission denied");
    target_ = fs::canonical(path_, ec).string();
    if (ec) throw EFCreateError("Cannot create file \"" + path_ + "\". " + ec.message());
  }
  // Anything else (a pipe, a device, a socket) is written into, not replaced.
}

OutputFile::~OutputFile() {
  Discard();
}

void OutputFile::Discard() {
  replacing_.reset();
  temp_.reset();
}

bool OutputFile::IsDestination(const std::string& path) const {
  platform::FileIdentity identity;
  return has_identity_ && platform::GetFileIdentity(path, identity) && identity.device == device_ &&
         identity.file == file_;
}

TFileStream& OutputFile::Stream() {
  if (replacing_) return replacing_->Stream();
  if (temp_) return *temp_;
  if (!target_.empty()) {
    replacing_ = std::make_unique<TReplacingFile>(target_);
    return replacing_->Stream();
  }
  temp_ = TFileStream::CreateUnique(TempFolder(), ".qobz-");
  // Only ever copied out: the name can go now, so that nothing is left behind even if the
  // process is killed.
  std::error_code ec;
  fs::remove(temp_->Path(), ec);
  return *temp_;
}

void OutputFile::Commit() {
  TFileStream& temp = Stream();
  if (replacing_) {
    replacing_->Commit();
    replacing_.reset();
    return;
  }
  FILE* out = path_ == "-" ? stdout : std::fopen(path_.c_str(), "wb");
  if (!out) throw EFCreateError("Cannot create file \"" + path_ + "\". " + std::strerror(errno));
  bool ok = temp.Seek(0, SeekOrigin::Begin) == 0;
  std::vector<char> chunk(1 << 16);
  int32_t n;
  while (ok && (n = temp.Read(chunk.data(), static_cast<int32_t>(chunk.size()))) > 0)
    ok = std::fwrite(chunk.data(), 1, static_cast<size_t>(n), out) == static_cast<size_t>(n);
  ok = ok && temp.Position() == temp.Size();
  ok = std::fflush(out) == 0 && ok;
  int err = errno;
  if (out != stdout) ok = std::fclose(out) == 0 && ok;
  if (!ok)
    throw EWriteError("Stream write error on \"" + (path_ == "-" ? "standard output" : path_) +
                      "\". " + std::strerror(err));
}

std::string DosDateText(uint32_t stamp) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (stamp >> 25),
                (stamp >> 21) & 15, (stamp >> 16) & 31, (stamp >> 11) & 31, (stamp >> 5) & 63,
                (stamp & 31) * 2);
  return text;
}

std::string AttrText(uint16_t attr) {
  std::string text = "----";
  if (attr & 0x20) text[0] = 'A';
  if (attr & 0x04) text[1] = 'S';
  if (attr & 0x02) text[2] = 'H';
  if (attr & 0x01) text[3] = 'R';
  return text;
}

}  // namespace qobz::tool
