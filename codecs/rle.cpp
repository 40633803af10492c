// Placeholder until the run-length coder lands.
#include "codecs/codecs.h"
#include "qobz/errors.h"
namespace qobz {
void RleCompress(TCompThreadSafety&) {
  throw Exception("run-length coder not built yet");
}
void RleExpand(TCompThreadSafety&) {
  throw Exception("run-length coder not built yet");
}
}  // namespace qobz
