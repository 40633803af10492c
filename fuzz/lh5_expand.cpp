// Fuzz target: LH5Expand on arbitrary packed bytes.
//
// Input layout: 4 bytes little-endian unpacked size, 1 byte of options, then the packed stream.
// The size is taken modulo 4 MiB when option bit 2 is set and modulo 64 KiB otherwise, so the
// output stays capped and most runs stay quick. Option bit 0: the packed bytes are scrambled with
// a fixed key; bit 1: the source delivers them in small reads. Streams the decoder refuses raise
// the component's exceptions (a bad table, or packed data that run out before the size is
// reached); anything else (a crash, a sanitizer report) is a finding. Small runs are repeated with
// the byte-at-a-time flow, whose output, checksum and refusal must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/byte_stream.h"
#include "codecs/codec_state.h"
#include "codecs/lh5/lh5_decode.h"
#include "fuzz/chunked_source.h"
#include "qobz/compress.h"
#include "qobz/errors.h"

using qobz::fuzz::ChunkedSource;

namespace {

constexpr uint32_t kMaxUnpacked = 4u << 20;
constexpr uint32_t kCompareBelow = 1u << 16;
constexpr int32_t kKey = 0x5A3C9617;

struct Outcome {
  int refused = 0;           // 1: a table refused; 2: the packed data ran out (damaged)
  std::vector<uint8_t> out;  // kept only when the run is compared
  int64_t size = 0;
  uint32_t checksum = 0;
};

// A destination that keeps its bytes only when asked to.
class Sink : public qobz::TStream {
 public:
  explicit Sink(bool keep) : keep_(keep) {}
  int32_t Read(void*, int32_t) override { return 0; }
  void WriteBuffer(const void* buffer, int32_t count) override {
    const auto* p = static_cast<const uint8_t*>(buffer);
    if (keep_) data.insert(data.end(), p, p + count);
    size += count;
  }
  int64_t Seek(int64_t, qobz::SeekOrigin) override { return size; }
  std::vector<uint8_t> data;
  int64_t size = 0;

 private:
  bool keep_;
};

Outcome ViaDriver(const uint8_t* packed, size_t size, int32_t unpacked, bool keyed, int32_t chunk,
                  bool keep) {
  Outcome o;
  qobz::TCompress compress;
  compress.Key = keyed ? kKey : 0;
  ChunkedSource source(packed, size, chunk);
  Sink dest(keep);
  try {
    compress.RunCodec(dest, source, static_cast<int32_t>(size), unpacked, 4, o.checksum, true,
                      keyed);
  } catch (const qobz::ELZHBadDecodeTable&) {
    o.refused = 1;
  } catch (const qobz::EBadChecksum&) {
    o.refused = 2;
  }
  o.out = std::move(dest.data);
  o.size = dest.size;
  return o;
}

// The same run through the byte-at-a-time flow, set up as the driver sets up a run.
Outcome Bytewise(const uint8_t* packed, size_t size, int32_t unpacked, bool keyed, int32_t chunk) {
  Outcome o;
  qobz::fuzz::CodecRun run(packed, size, chunk);
  qobz::TCompThreadSafety& s = run.s;
  s.UnscrambleInput = keyed;
  for (int i = 0; i < 4; ++i) {
    s.KeyBytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(kKey) >> (8 * i));
  }
  try {
    qobz::LH5ExpandBytewise(s, unpacked);
    qobz::FlushOutput(s);
    o.checksum = s.OutSum;
  } catch (const qobz::ELZHBadDecodeTable&) {
    o.refused = 1;
  } catch (const qobz::EBadChecksum&) {
    o.refused = 2;
  }
  o.out = std::move(run.dest.Data());
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5 || size > (64u << 20)) return 0;
  uint32_t unpacked = 0;
  for (int i = 0; i < 4; ++i) unpacked |= static_cast<uint32_t>(data[i]) << (8 * i);
  unpacked %= (data[4] & 4) != 0 ? kMaxUnpacked : kCompareBelow;
  const bool keyed = (data[4] & 1) != 0;
  const int32_t chunk = (data[4] & 2) != 0 ? 1 + data[4] / 4 : qobz::IOBufferSize;
  const uint8_t* packed = data + 5;
  const size_t packed_size = size - 5;

  const bool compare = unpacked < kCompareBelow;
  const Outcome fast =
      ViaDriver(packed, packed_size, static_cast<int32_t>(unpacked), keyed, chunk, compare);
  if (!fast.refused && fast.size < unpacked) std::abort();
  if (compare) {
    const Outcome slow =
        Bytewise(packed, packed_size, static_cast<int32_t>(unpacked), keyed, chunk);
    if (slow.refused != fast.refused || slow.out != fast.out) std::abort();
    if (!fast.refused && slow.checksum != fast.checksum) std::abort();
  }
  return 0;
}
