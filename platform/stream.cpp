// TStream's default size and the memory stream: portable, beneath the file streams.
#include "qobz/stream.h"

#include <algorithm>
#include <cstring>

#include "qobz/errors.h"

namespace qobz {

int64_t TStream::Size() {
  int64_t here = Seek(0, SeekOrigin::Current);
  int64_t end = Seek(0, SeekOrigin::End);
  Seek(here, SeekOrigin::Begin);
  return end;
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  int64_t size = static_cast<int64_t>(data_.size());
  if (count <= 0 || pos_ >= size || pos_ < 0) return 0;
  int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size - pos_));
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

void TMemoryStream::WriteBuffer(const void* buffer, int32_t count) {
  if (count <= 0) return;
  if (pos_ < 0) throw EWriteError("Stream write error: negative position");
  size_t end = static_cast<size_t>(pos_) + static_cast<size_t>(count);
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ = static_cast<int64_t>(end);
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t base = origin == SeekOrigin::Begin ? 0
                 : origin == SeekOrigin::End ? static_cast<int64_t>(data_.size())
                                             : pos_;
  pos_ = base + offset;
  return pos_;
}

std::unique_ptr<TFileStream> TFileStream::CreateEntryBelow(const std::string& folder,
                                                           const std::string& relative,
                                                           bool make_folders, TFolderWalk* walk,
                                                           bool only_new) {
  return CreateBelowHeld(folder, relative, make_folders, walk,
                         only_new ? TMake::OnlyNew : TMake::Replace);
}

std::unique_ptr<TFileStream> TFileStream::CreatePassingBelow(const std::string& folder,
                                                             const std::string& relative,
                                                             bool make_folders, TFolderWalk* walk) {
  return CreateBelowHeld(folder, relative, make_folders, walk, TMake::Passing);
}

}  // namespace qobz
