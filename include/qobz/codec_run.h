// One run of a codec: what the caller gives it, once, and what it answers.
#pragma once

#include <cstdint>
#include <functional>

#include "qobz/headers.h"

namespace qobz {

// Progress in percent; a handler that sets the value to -1 cancels the run.
using TShowProgressEvent = std::function<void(int32_t& PercentageDone)>;

// How hard an encoder works: the method's default encoder, or its slower one that makes smaller
// streams of the same format (where it has one; LH5).
enum class TEffort : uint8_t { Default, Smallest };

// Built once by the caller for a run and passed by const reference; a run keeps none of it.
struct TCodecOptions {
  // The key acts only on the packed side: encoding scrambles the packed bytes with it, decoding
  // unscrambles them when Scrambled is set. 0: no key.
  int32_t Key = 0;
  bool Scrambled = false;
  TEffort Effort = TEffort::Default;
  // Encoding: packed data that would outgrow this many bytes raise EUnableToCompress.
  int32_t OutputLimit = kMaxFieldSize;
  // Called with 0 before the run, after each buffer of input with the share read so far, and with
  // 100 after it; null or empty: none.
  const TShowProgressEvent* Progress = nullptr;
};

struct TCodecResult {
  int32_t Written = 0;     // bytes written to the destination
  uint32_t Checksum = 0;   // the sum of the unpacked bytes (read when encoding, written decoding)
  bool Cancelled = false;  // the progress handler answered -1 at some call of the run
  bool Started = false;    // false: cancelled at the first call, before anything was read
};

}  // namespace qobz
