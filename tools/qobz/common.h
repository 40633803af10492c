// Shared pieces of the qobz command-line tool: option parsing, method names, output helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qobz/archive_reader.h"
#include "qobz/compress.h"
#include "qobz/stream.h"

namespace qobz::tool {

// A usage error: the message is printed with the command's usage line, exit code 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One option of a command: parsed with getopt_long and described in the command's --help from
// the same entry, so the help cannot drift from what is accepted.
struct OptionInfo {
  const char* long_name;  // "method": given as --method (and --method=VALUE)
  char short_name;        // 'C': also -C VALUE, -CVALUE and bundled (-qk); 0 for none
  const char* value;      // the value's name in the help, or nullptr for a flag
  const char* help;
};

// The options -q/--quiet, -v/--verbose and -h/--help that every command takes.
extern const std::vector<OptionInfo> kCommonOptions;
// A command's options followed by kCommonOptions: what it accepts, in the order its help lists.
std::vector<const OptionInfo*> WithCommonOptions(const std::vector<OptionInfo>& command_options);

// A command line parsed against a command's options (and kCommonOptions). Options are known by
// their long name with the dashes ("--method"); operands and options may come in any order, and
// "--" ends the options.
class Args {
 public:
  Args(int argc, char** argv, const std::vector<OptionInfo>& options);
  bool Flag(const std::string& name) const;
  bool Has(const std::string& name) const { return Flag(name); }
  std::string Value(const std::string& name, const std::string& fallback = "") const;
  // Every value given for a repeatable option, in order.
  std::vector<std::string> Values(const std::string& name) const;
  int64_t Number(const std::string& name, int64_t fallback, int64_t min, int64_t max) const;
  const std::vector<std::string>& Operands() const { return operands_; }

 private:
  std::vector<std::pair<std::string, std::string>> values_;  // flags have an empty value
  std::vector<std::string> operands_;
};

// How much the tool says: set once from -q and -v.
enum class Verbosity { Quiet, Normal, Verbose };
extern Verbosity g_verbosity;

// "NON", "RLE", "LZH", "LH5" (any case) to a method code; raises UsageError otherwise.
uint8_t ParseMethod(const std::string& name);
int64_t ParseNumber(const std::string& text, const std::string& what, int64_t min, int64_t max);

// One progress bar for the whole command on stderr, only when stderr is a terminal and the
// tool is not quiet: bytes and entries done, rate and time left, fitted to the terminal's width
// and redrawn at most ten times a second. Begin gives the totals (entries -1: not known), Entry
// marks the start of each entry with its size, and the component's OnShowProgress (hooked by
// Begin) moves the bar within the entry.
class Progress {
 public:
  static Progress& Get();
  void Begin(TCompress& compress, int64_t total_bytes, int64_t total_entries);
  // The entry of that index (0-based) begins; the bytes of the entries before it are done.
  void Entry(int64_t index, int64_t bytes_before, int64_t size);
  // Removes the bar from the terminal (before any other line is written).
  void Clear();

 private:
  void Draw(bool force);
  bool enabled_ = false, shown_ = false;
  int64_t total_bytes_ = 0, total_entries_ = -1;
  int64_t index_ = 0, base_ = 0, size_ = 0, done_ = 0;
  double start_ = 0, last_draw_ = -1;
};
void ClearProgress();

// Opens an archive ("-": standard input, read as it comes) positioned at offset; an offset past
// the end is an error rather than an empty archive.
std::unique_ptr<TStream> OpenArchive(const std::string& path, int64_t offset);
// Starts the walk; a source without an archive header at the offset is no archive.
std::unique_ptr<TArchiveReader> StartWalk(TCompress& compress, TStream& in);
// After a walk: the entries must add up to the header's TotalSize, or the archive is cut short.
void CheckWalkEnd(const TArchiveReader& reader);

// The end of every command: what is still buffered for standard output is written, and a write
// that failed there, now or earlier (a full disk, a closed descriptor), fails the command with one
// message. A reader that went away ends the command quietly: SIGPIPE does, as with other tools,
// and EPIPE (SIGPIPE ignored by the caller) gives exit 1 without a message. Answers the exit code.
int FinishStandardOutput(int rc);

// A stored name as the platform writes paths: "/" between folders on POSIX.
std::string DisplayName(const std::string& stored);
// A stored name as listings and messages show it: DisplayName with control bytes escaped
// (platform::EscapedName), so that no name can write to the terminal or hide behind a NUL.
std::string ShownName(const std::string& stored);
// Whether a member pattern (a shell wildcard, "/" between folders, case-sensitive) selects a
// stored name: the name itself or a folder above it matches.
bool MemberMatches(const std::string& pattern, const std::string& stored);

// One error line on stderr: "qobz: ARCHIVE: [ENTRY: ]WHAT", after clearing the progress bar.
void PrintError(const std::string& archive, const std::string& entry, const std::string& what);

// A destination writing to standard output, or (Open) into a pipe or device named by a path,
// through a large stdio buffer. Close flushes and reports what the buffer could not write.
class StdoutStream : public TStream {
 public:
  StdoutStream();
  // Opens path (not a regular file: nothing is replaced) for writing.
  static std::unique_ptr<StdoutStream> Open(const std::string& path);
  ~StdoutStream() override;
  int32_t Read(void*, int32_t) override { return 0; }
  void WriteBuffer(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t, SeekOrigin) override { return written_; }
  int64_t Size() override { return written_; }
  // Writes what is buffered (and closes a named destination); raises EWriteError on a failure.
  void Close();

 private:
  StdoutStream(std::FILE* file, std::string name);
  std::FILE* file_;
  std::string name_;
  int64_t written_ = 0;
};

// A source read through a buffer of 1 MiB: the codecs ask for 8 KiB at a time, which costs a
// system call each on a plain file. Seek drops the buffer.
class ReadAheadStream : public TStream {
 public:
  explicit ReadAheadStream(std::unique_ptr<TStream> source);
  int32_t Read(void* buffer, int32_t count) override;
  void WriteBuffer(const void*, int32_t) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return source_->Size(); }

 private:
  std::unique_ptr<TStream> source_;
  std::vector<uint8_t> buffer_;
  size_t at_ = 0, end_ = 0;  // the unread bytes of buffer_
};

// Standard input as a source that cannot seek (an archive read from a pipe).
class StdinStream : public TStream {
 public:
  int32_t Read(void* buffer, int32_t count) override;
  void WriteBuffer(const void*, int32_t) override;
  int64_t Seek(int64_t, SeekOrigin) override { return -1; }
  int64_t Size() override { return -1; }
};

// Reads a source to its end, whatever its kind: a pipe, a FIFO or a terminal tells no size.
std::unique_ptr<TMemoryStream> ReadAll(TStream& in);

// The name under which a host path is stored: relative, backslashes between folders, normalised
// lexically ("a/./b" and "a/x/../b" are "a\b"), so that it never holds a ".." segment. A leading
// "/" (or "\") and leading ".." segments cannot be kept; they are dropped and, when stripped is
// given, reported there as the text dropped ("/" or "../"; empty when nothing was).
std::string StoredName(const std::string& host_path, std::string* stripped = nullptr);
// Prints "qobz: WHAT" on stderr, after clearing the progress bar.
void Warn(const std::string& what);
// A line for -v, after clearing the progress bar: on stdout, or on stderr when standard output
// carries the command's data.
void Say(const std::string& text, bool data_on_stdout);

// The file that a command writes, made so that nothing is lost on a failure: the result goes to
// a new file of an unpredictable name in the destination's folder and is renamed over the
// destination only when complete. A destination that is not a regular file ("-" for standard
// output, a pipe, a device) is never replaced: the finished result is copied into it from a
// temporary file. Nothing is ever removed but the temporary file.
class OutputFile {
 public:
  // Examines the destination (a link is followed to the file it names); raises Exception for a
  // folder or a read-only file.
  explicit OutputFile(std::string path);
  ~OutputFile();  // removes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Whether path names the destination itself (the same device and file number).
  bool IsDestination(const std::string& path) const;
  // The temporary file, created on the first call.
  TFileStream& Stream();
  // Puts the complete result in place (rename, or copy into standard output, a pipe or a device).
  void Commit();
  // Drops what was written so far: the next Stream() is a new, empty temporary file.
  void Discard();
  // Whether the destination is a regular file (or none yet) that Commit replaces.
  bool Replaces() const { return !target_.empty(); }

 private:
  std::string path_;    // as given
  std::string target_;  // the regular file to replace, links resolved; empty: copy out
  bool has_identity_ = false;
  uint64_t device_ = 0, file_ = 0;
  std::unique_ptr<TReplacingFile> replacing_;  // the result, when it replaces target_
  std::unique_ptr<TFileStream> temp_;          // the result, when it is copied out
};
std::string DosDateText(uint32_t stamp);
std::string AttrText(uint16_t attr);

int CommandAdd(const Args& args);
int CommandDelete(const Args& args);
int CommandList(const Args& args);
int CommandExtract(const Args& args);
int CommandTest(const Args& args);
int CommandEncode(const Args& args);
int CommandDecode(const Args& args);
int CommandSfx(const Args& args);

}  // namespace qobz::tool
