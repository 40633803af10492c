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

// Archive-style name (backslashes) from a host path, and the other way round for display.
std::string StoredName(const std::string& host_path);
std::string DosDateText(uint32_t stamp);
std::string AttrText(uint16_t attr);

int CommandAdd(int argc, char** argv);
int CommandList(int argc, char** argv);
int CommandExtract(int argc, char** argv);
int CommandTest(int argc, char** argv);
int CommandEncode(int argc, char** argv);
int CommandDecode(int argc, char** argv);

}  // namespace qobz::tool
