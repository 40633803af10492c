// libFuzzer harness for LzhExpand: any packed bytes with any requested size must expand without
// a crash or sanitizer report, to exactly the size asked for or at most 59 bytes more, unless the
// packed data run out first, which raises EBadChecksum. Every run is repeated with the
// byte-at-a-time flow (LzhExpandBytewise), whose bytes, stream position, sums and refusal must
// agree; the second input byte's top bits choose short reads and a cancelled fetch.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/byte_stream.h"
#include "codecs/codec_state.h"
#include "codecs/codecs.h"
#include "fuzz/chunked_source.h"
#include "qobz/errors.h"
#include "qobz/stream.h"

using qobz::fuzz::CodecRun;

namespace {

struct Outcome {
  bool damaged = false;
  std::vector<uint8_t> out;
  uint32_t in_sum = 0, out_sum = 0;
  int32_t out_count = 0;
  int64_t position = 0;
  bool operator==(const Outcome&) const = default;
};

Outcome Run(void (*routine)(qobz::TCompThreadSafety&, int32_t), const std::vector<uint8_t>& packed,
            int32_t count, int32_t chunk, int cancel_at) {
  Outcome o;
  CodecRun run(packed.data(), packed.size(), chunk);
  qobz::TCompThreadSafety& s = run.s;
  int calls = 0;
  const qobz::TShowProgressEvent handler = [&](int32_t& percent) {
    if (calls++ == cancel_at) percent = -1;
  };
  if (cancel_at >= 0) s.Progress = &handler;
  try {
    routine(s, count);
    qobz::FlushOutput(s);
  } catch (const qobz::EBadChecksum&) {
    o.damaged = true;
  }
  o.out = run.dest.Data();
  o.in_sum = s.InSum;
  o.out_sum = s.OutSum;
  o.out_count = s.OutCount;
  o.position = run.source.Position();
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the unpacked size (at most 8191, so that one run stays quick).
  const int32_t count = static_cast<int32_t>(data[0] | ((data[1] & 0x1F) << 8));
  const int32_t chunk = (data[1] & 0x20) != 0 ? 1 + data[0] % 97 : qobz::IOBufferSize;
  const int cancel_at = (data[1] & 0xC0) == 0 ? -1 : (data[1] >> 6);
  const std::vector<uint8_t> packed(data + 2, data + size);
  const Outcome fast = Run(&qobz::LzhExpand, packed, count, chunk, cancel_at);
  const Outcome slow = Run(&qobz::LzhExpandBytewise, packed, count, chunk, cancel_at);
  if (!(fast == slow)) std::abort();
  if (fast.damaged) return 0;
  const auto produced = static_cast<int32_t>(fast.out.size());
  if (produced != fast.out_count || (count > 0 && (produced < count || produced > count + 59)) ||
      (count == 0 && produced != 0))
    std::abort();
  return 0;
}
