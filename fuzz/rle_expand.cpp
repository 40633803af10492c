// Fuzzes RleExpand through the codec driver with any packed stream. Besides staying clean under
// the sanitizers, every input must satisfy what the format promises:
// - the checksum is the sum of the bytes written, and at most 255 bytes come out per packed byte;
// - the byte path (forced by a key, with the packed bytes scrambled to match) writes the same
//   bytes as the buffered fast path;
// - the expanded bytes and the raw input, compressed without an output limit, give the same
//   packed bytes on both paths, and expand back to themselves;
// - the expanded bytes compress back to a stream that expands to them again, unless the
//   compressor refuses with EUnableToCompress.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "qobz/compress.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kKey = 0x1B2C3D4E;

void Check(bool ok) {
  if (!ok) std::abort();
}

Bytes KeyXor(Bytes v) {
  for (size_t i = 0; i < v.size(); ++i)
    v[i] ^= static_cast<uint8_t>(static_cast<uint32_t>(kKey) >> (8 * (i % 4)));
  return v;
}

Bytes Encode(const Bytes& in, int32_t key) {
  qobz::TCompress c;
  c.Key = key;
  qobz::TMemoryStream src(in), dst;
  uint32_t checksum = 0;
  c.EncodeStream(dst, src, static_cast<int32_t>(in.size()), qobz::kMethodRle, checksum);
  return std::move(dst.Data());
}

Bytes Run(const Bytes& in, bool expanding, int32_t key, uint32_t& checksum) {
  qobz::TCompress c;
  c.Key = key;
  qobz::TMemoryStream src(in), dst;
  c.RunCodec(dst, src, static_cast<int32_t>(in.size()), 0, qobz::kMethodRle, checksum, expanding,
             key != 0);
  return std::move(dst.Data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  Bytes packed(data, data + size);
  uint32_t checksum = 0;
  Bytes plain = Run(packed, true, 0, checksum);

  uint32_t sum = 0;
  for (uint8_t b : plain) sum += b;
  Check(checksum == sum);
  Check(plain.size() <= 255 * packed.size());

  uint32_t keyed_checksum = 0;
  Check(Run(KeyXor(packed), true, kKey, keyed_checksum) == plain);
  Check(keyed_checksum == checksum);

  for (const Bytes* raw : {&plain, &packed}) {
    Bytes fast = Encode(*raw, 0);
    Check(KeyXor(Encode(*raw, kKey)) == fast);
    uint32_t unused = 0;
    Check(Run(fast, true, 0, unused) == *raw);
  }

  try {
    uint32_t packed_checksum = 0;
    Bytes repacked = Run(plain, false, 0, packed_checksum);
    Check(packed_checksum == sum);
    Check(repacked.size() <= plain.size());
    Check(Run(repacked, true, 0, checksum) == plain);
  } catch (const qobz::EUnableToCompress&) {
  }
  return 0;
}
