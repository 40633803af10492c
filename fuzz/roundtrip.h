// The round-trip check shared by the encoder harnesses: any input, packed by the method's encoder
// through the driver (with or without a key, with or without an output limit), must unpack to
// itself, with the checksum of both runs equal to its byte sum and every raw stream position
// accounted for. Input layout: 1 byte of options, then the data. Option bit 0: a key scrambles the
// packed bytes; bit 1: the output limit of an archive entry (the input size) applies, so the
// encoder may refuse with EUnableToCompress.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "qobz/compress.h"
#include "qobz/errors.h"

namespace qobz::fuzz {

inline int RoundTrip(uint8_t method, const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const uint8_t options = data[0];
  const std::vector<uint8_t> plain(data + 1, data + size);
  const auto n = static_cast<int32_t>(plain.size());
  const uint32_t sum = std::accumulate(plain.begin(), plain.end(), 0u);

  TCompress packer;
  packer.Key = (options & 1) != 0 ? 0x2F6B1C95 : 0;
  TMemoryStream src(plain), packed;
  uint32_t checksum = 0;
  try {
    if ((options & 2) != 0) {
      packer.RunCodec(packed, src, n, n, method, checksum, false, false);
    } else {
      packer.EncodeStream(packed, src, n, method, checksum);
    }
  } catch (const EUnableToCompress&) {
    if ((options & 2) == 0) std::abort();  // without a limit every input packs
    return 0;
  }
  if (checksum != sum || src.Position() != n) std::abort();
  if ((options & 2) != 0 && packed.Size() > n) std::abort();

  TCompress unpacker;
  unpacker.Key = packer.Key;
  TMemoryStream in(packed.Data()), out;
  uint32_t unpacked_sum = 0;
  unpacker.RunCodec(out, in, static_cast<int32_t>(packed.Size()), n, method, unpacked_sum, true,
                    packer.Key != 0);
  if (out.Data() != plain || unpacked_sum != sum) std::abort();
  return 0;
}

}  // namespace qobz::fuzz
