// Placeholder until the LZH codec lands.
#include "codecs/codecs.h"
#include "qobz/errors.h"
namespace qobz {
void LzhCompress(TCompThreadSafety&) { throw Exception("LZH codec not built yet"); }
void LzhExpand(TCompThreadSafety&, int32_t) { throw Exception("LZH codec not built yet"); }
}  // namespace qobz
