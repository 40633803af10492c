// TStream's default size and the memory stream: portable, beneath the file streams.
#include "qobz/stream.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"
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

namespace {

// The folder part of a path ("" for a bare name, "/" for a name at the root) and its last name.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return {std::string(), path};
  return {path.substr(0, cut == 0 ? 1 : cut), path.substr(cut + 1)};
}

}  // namespace

TReplacingFile::TReplacingFile(const std::string& path) : path_(path) {
  const auto [folder, name] = SplitPath(path);
  if (name.empty() || name == "." || name == "..")
    throw EFCreateError("Cannot create file \"" + path + "\". It is a folder");
  stream_ = TFileStream::CreatePassingBelow(folder, name, false, nullptr);
}

TReplacingFile::~TReplacingFile() {
  if (stream_) stream_->Remove();
}

void TReplacingFile::Commit() {
  if (!stream_) throw EWriteError("Cannot create file \"" + path_ + "\". Committed already");
  // Never more open than the file it replaces, or than any new file.
  bool done = platform::SetReplacingAccess(*stream_, path_);
  if (done) {
    stream_->Close();
    done = stream_->Commit();
  }
  if (!done)
    throw EWriteError("Cannot create file \"" + path_ + "\". " + platform::LastErrorText());
  stream_.reset();
}

}  // namespace qobz
