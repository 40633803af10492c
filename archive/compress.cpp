// TCompress: creation, destruction and the TargetPath property.
#include "qobz/compress.h"

#include "codecs/codec_state.h"

namespace qobz {

TCompress::TCompress() : codec_state_(std::make_unique<TCompThreadSafety>()) {}

TCompress::~TCompress() = default;

void TCompress::SetTargetPath(const std::string& value) {
  target_path_ = value;
  if (!value.empty() && value.back() != '\\') target_path_ += '\\';
}

}  // namespace qobz
