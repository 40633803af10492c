// libFuzzer harness: the RLE encoder's output unpacks to its input (see roundtrip.h).
#include "fuzz/roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return qobz::fuzz::RoundTrip(qobz::kMethodRle, data, size);
}
