// Fuzz target: the smaller LH5 encoder, round trip through our decoder.
//
// Input layout: 1 byte of options, then the data to pack. Option bit 0: the packed bytes are
// scrambled with a fixed key (and unscrambled on the way back); bit 1: the source delivers the
// data in small reads. The stream must decode to the data, with the data's byte sum as the
// checksum on both sides; anything else (a mismatch, a crash, a sanitizer report) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "codecs/codec_state.h"
#include "fuzz/chunked_source.h"
#include "qobz/compress.h"
#include "qobz/errors.h"

using qobz::fuzz::ChunkedSource;

namespace {

constexpr size_t kMaxInput = 1u << 20;
constexpr int32_t kKey = 0x5A3C9617;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > kMaxInput) return 0;
  const bool keyed = (data[0] & 1) != 0;
  const int32_t chunk = (data[0] & 2) != 0 ? 1 + data[0] / 4 : qobz::IOBufferSize;
  const uint8_t* plain = data + 1;
  const size_t plain_size = size - 1;
  const uint32_t sum = std::accumulate(plain, plain + plain_size, 0u);

  qobz::TCompress compress;
  compress.Key = keyed ? kKey : 0;
  ChunkedSource source(plain, plain_size, chunk);
  qobz::TMemoryStream packed;
  uint32_t packed_sum = 0;
  // No output limit: a stream may outgrow its input.
  compress.EncodeStream(packed, source, static_cast<int32_t>(plain_size), qobz::kMethodLh5,
                        packed_sum, /*Best=*/true);
  if (packed_sum != sum) std::abort();

  qobz::TMemoryStream back_in(packed.Data());
  qobz::TMemoryStream back;
  uint32_t back_sum = 0;
  try {
    compress.RunCodec(back, back_in, static_cast<int32_t>(packed.Data().size()),
                      static_cast<int32_t>(plain_size), qobz::kMethodLh5, back_sum, true, keyed);
  } catch (const qobz::Exception&) {
    std::abort();
  }
  if (back_sum != sum || back.Data().size() != plain_size) std::abort();
  if (plain_size != 0 && std::memcmp(back.Data().data(), plain, plain_size) != 0) std::abort();
  return 0;
}
