// Placeholder until the LH5 codec lands.
#include "codecs/codecs.h"
#include "qobz/errors.h"
namespace qobz {
void LH5Compress(TCompThreadSafety&) { throw Exception("LH5 codec not built yet"); }
void LH5Expand(TCompThreadSafety&, int32_t) { throw Exception("LH5 codec not built yet"); }
}  // namespace qobz
