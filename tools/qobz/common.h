// Shared pieces of the qobz command-line tool: option parsing, method names, output helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qobz/compress.h"
#include "qobz/stream.h"

namespace qobz::tool {

// A usage error: the message is printed with the command's usage line, exit code 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Simple GNU-style options: "--name value", "--name=value", "-C dir", flags, and operands.
class Args {
 public:
  Args(int argc, char** argv, std::vector<std::string> value_options,
       std::vector<std::string> flag_options);
  bool Flag(const std::string& name) const;
  bool Has(const std::string& name) const;
  std::string Value(const std::string& name, const std::string& fallback = "") const;
  // Every value given for a repeatable option, in order.
  std::vector<std::string> Values(const std::string& name) const;
  int64_t Number(const std::string& name, int64_t fallback, int64_t min, int64_t max) const;
  const std::vector<std::string>& Operands() const { return operands_; }

 private:
  std::vector<std::pair<std::string, std::string>> values_;
  std::vector<std::string> flags_;
  std::vector<std::string> operands_;
};

// "NON", "RLE", "LZH", "LH5" (any case) to a method code; raises UsageError otherwise.
uint8_t ParseMethod(const std::string& name);
int64_t ParseNumber(const std::string& text, const std::string& what, int64_t min, int64_t max);

// Installs a progress bar on stderr, driven by OnShowProgress, when stderr is a terminal.
void AttachProgress(TCompress& compress, const std::string* label);
void ClearProgress();

// One error line on stderr: "qobz: ARCHIVE: [ENTRY: ]WHAT", after clearing the progress bar.
void PrintError(const std::string& archive, const std::string& entry, const std::string& what);

// A destination writing to standard output.
class StdoutStream : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  void WriteBuffer(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t, SeekOrigin) override { return written_; }
  int64_t Size() override { return written_; }

 private:
  int64_t written_ = 0;
};

// Reads all of standard input.
std::unique_ptr<TMemoryStream> ReadStdin();

// The name under which a host path is stored: relative, backslashes between folders, normalised
// lexically ("a/./b" and "a/x/../b" are "a\b"), so that it never holds a ".." segment. A leading
// "/" (or "\") and leading ".." segments cannot be kept; they are dropped and, when stripped is
// given, reported there as the text dropped ("/" or "../"; empty when nothing was).
std::string StoredName(const std::string& host_path, std::string* stripped = nullptr);
// Prints "qobz: WHAT" on stderr, after clearing the progress bar.
void Warn(const std::string& what);

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

 private:
  std::string path_;    // as given
  std::string target_;  // the regular file to replace, links resolved; empty: copy out
  bool has_identity_ = false;
  uint64_t device_ = 0, file_ = 0;
  bool keep_permissions_ = false;
  unsigned permissions_ = 0;
  std::unique_ptr<TFileStream> temp_;
  std::string temp_path_;  // empty when there is nothing of ours to remove
};
std::string DosDateText(uint32_t stamp);
std::string AttrText(uint16_t attr);

int CommandAdd(int argc, char** argv);
int CommandList(int argc, char** argv);
int CommandExtract(int argc, char** argv);
int CommandTest(int argc, char** argv);
int CommandEncode(int argc, char** argv);
int CommandDecode(int argc, char** argv);

}  // namespace qobz::tool
