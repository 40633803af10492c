// qobz_folder_paths: expands a one-entry archive (sub\f.txt) with MakeDirectories below each
// target folder given, as the launcher's component does, and checks the outcome: the file and
// every missing folder made, or, for a target written "!TARGET", EInOutError and no file. Built
// for Windows only, where targets such as "\\?\C:\a\b" and "\\server\share\a" exist; run under
// Wine by folder_paths.sh. Without arguments it only answers 0 (the machine can run it).
// Exit code: 0 when every target came out as expected, 1 otherwise.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "qobz/compress.h"
#include "qobz/writer.h"

namespace {

using namespace qobz;

// Answers an error text, or empty when the target came out as expected.
std::string Check(const std::vector<uint8_t>& archive, const std::string& target, bool must_fail) {
  TCompress compress;
  compress.MakeDirectories = true;
  compress.SetTargetPath(target);
  const std::string file = compress.TargetPath() + "sub\\f.txt";
  try {
    TMemoryStream source(archive);
    compress.ExpandStreamToFiles(source);
  } catch (const EInOutError& e) {
    if (must_fail && !platform::FileExists(file)) return "";
    return "EInOutError: " + e.Message();
  } catch (const Exception& e) {
    return "unexpected failure: " + e.Message();
  }
  if (must_fail) return "folders were made where none can be";
  std::vector<uint8_t> data(4);
  const int32_t got = TFileStream::OpenRead(file)->Read(data.data(), 4);
  return got == 3 && data[0] == 'a' && data[2] == 'c' ? "" : "the file is not what was packed";
}

}  // namespace

int main(int argc, char** argv) {
  TMemoryStream archive;
  {
    TCompress compress;
    TArchiveWriter writer(compress, archive, kMethodStored);
    TMemoryStream data(std::vector<uint8_t>{'a', 'b', 'c'});
    writer.AddEntry("sub\\f.txt", data, 0x31859978u, 0x20);
    writer.Finish();
  }
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    const bool must_fail = argv[i][0] == '!';
    const std::string target = argv[i] + (must_fail ? 1 : 0);
    std::string error;
    try {
      error = Check(archive.Data(), target, must_fail);
    } catch (const Exception& e) {
      error = "cannot read back: " + e.Message();
    }
    std::printf("%s %s%s%s\n", error.empty() ? "ok  " : "FAIL", argv[i], error.empty() ? "" : ": ",
                error.c_str());
    failed += error.empty() ? 0 : 1;
  }
  return failed == 0 ? 0 : 1;
}
