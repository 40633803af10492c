// A source for the fuzz harnesses that hands out its bytes in reads of at most `chunk`, so that
// every fetch boundary of a codec can fall anywhere in its input, and a codec run wired to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/codec_state.h"
#include "codecs/run.h"
#include "qobz/stream.h"

namespace qobz::fuzz {

class ChunkedSource : public TStream {
 public:
  ChunkedSource(const uint8_t* data, size_t size, int32_t chunk)
      : data_(data), size_(size), chunk_(chunk) {}
  int32_t Read(void* buffer, int32_t count) override {
    size_t n = static_cast<size_t>(count < chunk_ ? count : chunk_);
    if (n > size_ - pos_) n = size_ - pos_;
    if (n > 0) std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return static_cast<int32_t>(n);
  }
  void WriteBuffer(const void*, int32_t) override { std::abort(); }
  int64_t Seek(int64_t, SeekOrigin) override { return static_cast<int64_t>(pos_); }

 private:
  const uint8_t* data_;
  size_t size_;
  int32_t chunk_;
  size_t pos_ = 0;
};

// A codec state wired as the driver wires an expansion: the chunked source, a memory destination,
// no output limit.
struct CodecRun {
  ChunkedSource source;
  TMemoryStream dest;
  TCompThreadSafety s;
  TCodecRun run;

  CodecRun(const uint8_t* data, size_t size, int32_t chunk)
      : source(data, size, chunk), run(s, dest, source, static_cast<int32_t>(size), true, {}) {}
  CodecRun(const CodecRun&) = delete;
  CodecRun& operator=(const CodecRun&) = delete;
};

}  // namespace qobz::fuzz
