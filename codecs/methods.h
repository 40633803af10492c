// The codec of each method: the entry points the driver runs, beside the method's public row.
#pragma once

#include <cstdint>

#include "codecs/codec_state.h"
#include "qobz/methods.h"

namespace qobz {

struct TCodecRow {
  TMethodInfo info;
  void (*encode)(TCompThreadSafety& s);           // null: no codec
  void (*encode_smallest)(TCompThreadSafety& s);  // the slower, smaller encoder (null: encode)
  void (*decode)(TCompThreadSafety& s, int32_t unpacked_size);  // null: no codec
};

// The codec row of a code, or null for a code that names no method.
const TCodecRow* FindCodec(int code);

}  // namespace qobz
