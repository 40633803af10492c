// qobz encode / decode: raw packed streams of one method, outside any archive, for people who
// carry LH5 or LZH data in other containers.
#include <cerrno>
#include <cstring>

#include "common.h"
#include "qobz/methods.h"

namespace qobz::tool {

namespace {

struct Endpoints {
  std::unique_ptr<TStream> in;
  std::unique_ptr<OutputFile> file;  // a named destination, replaced only when complete
  std::unique_ptr<StdoutStream> pipe;
  int32_t in_size = 0;

  TStream& Out() { return file ? static_cast<TStream&>(file->Stream()) : *pipe; }
  void Commit() {
    if (file) file->Commit();
    if (pipe) pipe->Close();
  }
};

Endpoints Open(const std::vector<std::string>& operands) {
  if (operands.size() > 2) throw UsageError("too many operands");
  Endpoints e;
  std::string in_name = operands.size() > 0 ? operands[0] : "-";
  std::string out_name = operands.size() > 1 ? operands[1] : "-";
  auto out = std::make_unique<OutputFile>(out_name);
  if (in_name != "-" && out->IsDestination(in_name))
    throw Exception("\"" + in_name + "\" is both the input and the output");
  if (in_name == "-") {
    StdinStream in;
    e.in = ReadAll(in);
  } else {
    auto in = TFileStream::OpenRead(in_name);
    // Only a file that can seek and tells a size is read as it is packed; anything else (a FIFO,
    // /dev/stdin on a pipe, a file of /proc) is read to its end first.
    if (in->Position() < 0 || in->Size() <= 0) {
      e.in = ReadAll(*in);
    } else {
      e.in = std::make_unique<ReadAheadStream>(std::move(in));
    }
  }
  int64_t size = e.in->Size() - e.in->Position();
  if (size > 2147483647) throw Exception("input larger than 2 GiB - 1");
  e.in_size = static_cast<int32_t>(size);
  // Standard output, a pipe or a device takes the stream as it is made: a raw stream needs no
  // seeking, and a copy through a temporary file would cost the disk a whole second output.
  if (out_name == "-") {
    e.pipe = std::make_unique<StdoutStream>();
  } else if (!out->Replaces()) {
    e.pipe = StdoutStream::Open(out_name);
  } else {
    e.file = std::move(out);
  }
  return e;
}

}  // namespace

int CommandEncode(const Args& args) {
  if (!args.Has("--method")) throw UsageError("--method is required");
  uint8_t method = ParseMethod(args.Value("--method"));
  try {
    Endpoints e = Open(args.Operands());
    TCompress compress;
    uint32_t checksum = 0;
    compress.EncodeStream(e.Out(), *e.in, e.in_size, method, checksum, args.Flag("--best"));
    e.Commit();
  } catch (const Exception& e) {
    std::fprintf(stderr, "qobz: encode: %s\n", e.Message().c_str());
    return 1;
  }
  return 0;
}

int CommandDecode(const Args& args) {
  if (!args.Has("--method")) throw UsageError("--method is required");
  uint8_t method = ParseMethod(args.Value("--method"));
  const bool sized = FindMethod(method)->DecodeNeedsSize;
  if (sized && !args.Has("--size")) throw UsageError("--size (the unpacked size) is required");
  int32_t size = static_cast<int32_t>(args.Number("--size", 0, 0, 2147483647));
  try {
    Endpoints e = Open(args.Operands());
    TCompress compress;
    uint32_t checksum = 0;
    compress.RunCodec(e.Out(), *e.in, e.in_size, size, method, checksum, true, false);
    e.Commit();
  } catch (const Exception& e) {
    std::fprintf(stderr, "qobz: decode: %s\n", e.Message().c_str());
    return 1;
  }
  return 0;
}

}  // namespace qobz::tool
