// Fuzz target: the archive reader on arbitrary bytes.
//
// Input layout: 1 byte of options, then the archive. Option bit 0 sets a key; bit 1 feeds the
// archive through a stream that cannot seek. The archive is walked twice with TArchiveReader: once
// as a listing steps through it (headers only) and once as an extraction runs it (every entry
// expanded to a counting sink: the running total, locks, each method's decoder, checksums).
// Entries that claim more than 1 MiB are skipped in both walks so runs stay short. Findings: a
// crash or sanitizer report; the two walks disagreeing on an entry or on where the archive ends;
// an entry's output passing its UnpackedSize.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qobz/archive_reader.h"
#include "qobz/compress.h"
#include "qobz/errors.h"

namespace {

constexpr int32_t kMaxUnpacked = 1 << 20;

// A memory source that refuses to seek, as a pipe does.
class TPipeSource : public qobz::TStream {
 public:
  explicit TPipeSource(std::vector<uint8_t> data) : inner_(std::move(data)) {}
  int32_t Read(void* buffer, int32_t count) override { return inner_.Read(buffer, count); }
  void WriteBuffer(const void*, int32_t) override {}
  int64_t Seek(int64_t, qobz::SeekOrigin) override { return -1; }
  int64_t Size() override { return -1; }

 private:
  qobz::TMemoryStream inner_;
};

struct TSeen {
  std::string name;
  uint8_t header[qobz::kEntryHeaderSize];
  int64_t offset;
};

std::unique_ptr<qobz::TStream> Source(const uint8_t* data, size_t size, bool pipe) {
  std::vector<uint8_t> bytes(data + 1, data + size);
  if (pipe) return std::make_unique<TPipeSource>(std::move(bytes));
  return std::make_unique<qobz::TMemoryStream>(std::move(bytes));
}

TSeen Seen(const qobz::TArchiveReader& reader) {
  TSeen seen{reader.Name(), {}, reader.PackedOffset()};
  reader.Entry().Encode(seen.header);
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool pipe = (data[0] & 2) != 0;
  qobz::TCompress compress;
  if (data[0] & 1) compress.Key = 0x1F2E3D4C;
  compress.OnRecognize = [](const std::string&, bool& ok) { ok = true; };

  // The listing walk. An exception here (a bad archive header, an entry refused as damaged) ends
  // it where the expansion must end too.
  std::vector<TSeen> listed;
  bool list_refused = false;
  qobz::TArchiveReader::TEnd list_end = qobz::TArchiveReader::TEnd::NotYet;
  {
    auto source = Source(data, size, pipe);
    try {
      qobz::TArchiveReader reader(compress, *source);
      while (reader.Next()) listed.push_back(Seen(reader));
      list_end = reader.EndReason();
    } catch (const qobz::Exception&) {
      list_refused = true;
    }
  }

  // The expansion walk.
  auto source = Source(data, size, pipe);
  size_t index = 0;
  try {
    qobz::TArchiveReader reader(compress, *source);
    while (reader.Next()) {
      TSeen seen = Seen(reader);
      if (index >= listed.size() || listed[index].name != seen.name ||
          std::memcmp(listed[index].header, seen.header, sizeof seen.header) != 0 ||
          listed[index].offset != seen.offset)
        __builtin_trap();
      ++index;
      const qobz::TEntryHeader& entry = reader.Entry();
      if (entry.UnpackedSize > kMaxUnpacked) continue;  // Next() skips it, counted
      try {
        int64_t written = reader.Test();
        if (entry.Method != qobz::kMethodCustom && written > entry.UnpackedSize) __builtin_trap();
      } catch (const qobz::EBadChecksum&) {
      } catch (const qobz::EInvalidKey&) {
      } catch (const qobz::ELZHBadDecodeTable&) {
      } catch (const qobz::EUnableToCompress&) {
        __builtin_trap();  // the output limit of compression never applies to expansion
      }
      // After a refused entry the walk goes on past it, as a listing does.
    }
    if (list_refused || index != listed.size() || reader.EndReason() != list_end) __builtin_trap();
  } catch (const qobz::EInvalidHeader&) {
    if (!list_refused || index != listed.size()) __builtin_trap();
  } catch (const qobz::EInvalidHeaderArchiveType&) {
    if (!list_refused) __builtin_trap();
  } catch (const qobz::EInOutError&) {
    // Only an OnExpand handler could read past an entry; none is set.
    __builtin_trap();
  }
  return 0;
}
