// qobz encode / decode: raw packed streams of one method, outside any archive, for people who
// carry LH5 or LZH data in other containers.
#include "common.h"

namespace qobz::tool {

namespace {

struct Endpoints {
  std::unique_ptr<TStream> in;
  std::unique_ptr<TStream> out;
  int32_t in_size = 0;
};

Endpoints Open(const std::vector<std::string>& operands) {
  if (operands.size() > 2) throw UsageError("too many operands");
  Endpoints e;
  std::string in_name = operands.size() > 0 ? operands[0] : "-";
  std::string out_name = operands.size() > 1 ? operands[1] : "-";
  if (in_name == "-") {
    e.in = ReadStdin();
  } else {
    e.in = TFileStream::OpenRead(in_name);
  }
  int64_t size = e.in->Size() - e.in->Position();
  if (size > 2147483647) throw Exception("input larger than 2 GiB - 1");
  e.in_size = static_cast<int32_t>(size);
  if (out_name == "-") {
    e.out = std::make_unique<StdoutStream>();
  } else {
    e.out = TFileStream::Create(out_name);
  }
  return e;
}

}  // namespace

int CommandEncode(int argc, char** argv) {
  Args args(argc, argv, {"--method"}, {"--best"});
  if (!args.Has("--method")) throw UsageError("--method is required");
  uint8_t method = ParseMethod(args.Value("--method"));
  try {
    Endpoints e = Open(args.Operands());
    TCompress compress;
    uint32_t checksum = 0;
    compress.EncodeStream(*e.out, *e.in, e.in_size, method, checksum, args.Flag("--best"));
    std::fflush(stdout);
  } catch (const Exception& e) {
    std::fprintf(stderr, "qobz: encode: %s\n", e.Message().c_str());
    return 1;
  }
  return 0;
}

int CommandDecode(int argc, char** argv) {
  Args args(argc, argv, {"--method", "--size"}, {});
  if (!args.Has("--method")) throw UsageError("--method is required");
  uint8_t method = ParseMethod(args.Value("--method"));
  const bool sized = method == kMethodLzh || method == kMethodLh5;
  if (sized && !args.Has("--size")) throw UsageError("--size (the unpacked size) is required");
  int32_t size = static_cast<int32_t>(args.Number("--size", 0, 0, 2147483647));
  try {
    Endpoints e = Open(args.Operands());
    TCompress compress;
    uint32_t checksum = 0;
    compress.RunCodec(*e.out, *e.in, e.in_size, size, method, checksum, true, false);
    std::fflush(stdout);
  } catch (const Exception& e) {
    std::fprintf(stderr, "qobz: decode: %s\n", e.Message().c_str());
    return 1;
  }
  return 0;
}

}  // namespace qobz::tool
