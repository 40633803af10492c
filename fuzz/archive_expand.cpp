// Fuzz target: the archive reader on arbitrary bytes.
//
// Input layout: 1 byte of options, then the archive. Option bit 0 sets a key; bit 1 feeds the
// expansion through a stream that cannot seek. A plain listing first steps through the archive
// with the component's header readers, seeking PackedSize bytes from each entry's first packed
// byte. Then TArchiveReader walks it as an extraction does, every entry expanded to a counting
// sink (the running total, locks, each method's decoder, checksums); entries that claim more than
// 1 MiB are skipped so runs stay short. Findings: a crash or sanitizer report; the walk and the
// listing disagreeing on an entry, its position or the archive's end; an entry's output passing
// its UnpackedSize; an entry of an unknown method stopping the walk or refused before expansion.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qobz/archive_reader.h"
#include "qobz/compress.h"
#include "qobz/errors.h"
#include "qobz/methods.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool pipe = (data[0] & 2) != 0;
  qobz::TCompress compress;
  if (data[0] & 1) compress.Key = 0x1F2E3D4C;
  compress.OnRecognize = [](const std::string&, bool& ok) { ok = true; };

  // The listing. A refusal here (a bad archive header, an entry whose header is damaged) must
  // end the walk at the same entry.
  std::vector<TSeen> listed;
  bool list_refused = false;
  int64_t list_done = 0;
  {
    qobz::TMemoryStream source(std::vector<uint8_t>(data + 1, data + size));
    try {
      qobz::TArchiveHeader header;
      std::string id;
      compress.ReadArchiveHeader(source, header, id);
      qobz::TEntryHeader entry;
      std::string name;
      while (compress.ReadEntryHeader(source, entry, name)) {
        if (!(list_done < header.TotalSize)) break;
        if (entry.PackedSize < 0 || entry.UnpackedSize < 0) {
          list_refused = true;
          break;
        }
        TSeen seen{name, {}, source.Position()};
        entry.Encode(seen.header);
        listed.push_back(seen);
        source.Seek(seen.offset + entry.PackedSize, qobz::SeekOrigin::Begin);
        list_done += entry.UnpackedSize;
      }
    } catch (const qobz::Exception&) {
      list_refused = true;
    }
  }

  // The extraction's walk.
  auto source = Source(data, size, pipe);
  size_t index = 0;
  auto agrees = [&](const qobz::TArchiveReader& reader) {
    if (index >= listed.size()) return false;
    const TSeen& seen = listed[index];
    uint8_t header[qobz::kEntryHeaderSize];
    reader.Entry().Encode(header);
    return seen.name == reader.Name() && std::memcmp(seen.header, header, sizeof header) == 0 &&
           (pipe ? reader.PackedOffset() == -1 : seen.offset == reader.PackedOffset());
  };
  try {
    qobz::TArchiveReader reader(compress, *source);
    while (reader.Next()) {
      if (!agrees(reader)) __builtin_trap();
      ++index;
      const qobz::TEntryHeader& entry = reader.Entry();
      if (entry.UnpackedSize > kMaxUnpacked) continue;  // Next() skips it, counted
      try {
        int64_t written = reader.Test();
        if (entry.Method != qobz::kMethodCustom && written > entry.UnpackedSize) __builtin_trap();
      } catch (const qobz::EInvalidHeader&) {
        // An unknown method is refused only when the entry is expanded; the walk goes on.
        if (qobz::FindMethod(entry.Method)) throw;
      } catch (const qobz::EBadChecksum&) {
      } catch (const qobz::EInvalidKey&) {
      } catch (const qobz::ELZHBadDecodeTable&) {
      } catch (const qobz::EUnableToCompress&) {
        __builtin_trap();  // the output limit of compression never applies to expansion
      }
      // After a refused entry the walk goes on past it, as the listing does.
    }
    if (list_refused || index != listed.size() || reader.Done() != list_done) __builtin_trap();
  } catch (const qobz::EInvalidHeader&) {
    if (!list_refused || index != listed.size()) __builtin_trap();
  } catch (const qobz::EInvalidHeaderArchiveType&) {
    if (!list_refused) __builtin_trap();
  } catch (const qobz::EUnrecognizedCompressionMethod&) {
    if (!list_refused) __builtin_trap();
  } catch (const qobz::EInOutError&) {
    // Only an OnExpand handler could read past an entry; none is set.
    __builtin_trap();
  }
  return 0;
}
