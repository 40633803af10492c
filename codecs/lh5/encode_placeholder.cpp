// Stand-in for the LH5 encoder until it lands: the method cannot compress yet.
#include "codecs/codecs.h"
#include "codecs/lh5/lh5_tables.h"
#include "qobz/errors.h"

namespace qobz {

struct TLH5EncoderTables {};

void TLH5EncoderTablesDeleter::operator()(TLH5EncoderTables* tables) const noexcept {
  std::default_delete<TLH5EncoderTables>()(tables);
}

TLH5EncoderTablesPtr LH5AllocEncoderTables() {
  return TLH5EncoderTablesPtr(std::make_unique<TLH5EncoderTables>().release());
}

void LH5Compress(TCompThreadSafety&) {
  throw Exception("LH5 encoder not built yet");
}

}  // namespace qobz
