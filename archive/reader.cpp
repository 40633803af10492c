// The walk over an archive's entries (qobz/archive_reader.h).
#include <stdexcept>

#include "platform/platform.h"
#include "qobz/archive_reader.h"
#include "qobz/errors.h"
#include "qobz/methods.h"

namespace qobz {

namespace {

// What the entry's decoder or handler reads goes through here, so that on a source that cannot
// seek the walk knows how many of the entry's packed bytes are still to be dropped.
class TCountingSource : public TStream {
 public:
  TCountingSource(TStream& inner, int64_t& consumed) : inner_(inner), consumed_(consumed) {}
  int32_t Read(void* buffer, int32_t count) override {
    int32_t n = inner_.Read(buffer, count);
    if (n > 0) consumed_ += n;
    return n;
  }
  void WriteBuffer(const void* buffer, int32_t count) override {
    inner_.WriteBuffer(buffer, count);
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
  int64_t Size() override { return inner_.Size(); }

 private:
  TStream& inner_;
  int64_t& consumed_;
};

// Counts what reaches the destination.
class TCountingDest : public TStream {
 public:
  explicit TCountingDest(TStream& inner) : inner_(inner) {}
  int32_t Read(void* buffer, int32_t count) override { return inner_.Read(buffer, count); }
  void WriteBuffer(const void* buffer, int32_t count) override {
    inner_.WriteBuffer(buffer, count);
    if (count > 0) written_ += count;
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
  int64_t Size() override { return inner_.Size(); }
  int64_t Written() const { return written_; }

 private:
  TStream& inner_;
  int64_t written_ = 0;
};

// Reads count bytes, calling Read until they are all in or the source ends: a pipe or a socket
// hands over what it has, so one short read does not mean the end.
int32_t ReadFull(TStream& source, void* buffer, int32_t count) {
  int32_t got = 0;
  while (got < count) {
    const int32_t n = source.Read(static_cast<uint8_t*>(buffer) + got, count - got);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

}  // namespace

bool IsAbsoluteName(const std::string& name) {
  return (!name.empty() && (name[0] == '\\' || name[0] == '/')) || platform::HasDrivePrefix(name);
}

TArchiveReader::TArchiveReader(TCompress& compress, TStream& source)
    : compress_(compress), source_(source) {
  if (source_.Position() >= 0) {
    // Fewer than 21 bytes left is the component's quiet empty archive.
    has_header_ = source_.Size() - source_.Position() >= kArchiveHeaderSize;
    compress_.ReadArchiveHeader(source_, header_, compress_id_);
    if (!has_header_) compress_id_.clear();
    return;
  }
  // A source that cannot seek tells its size only by ending.
  uint8_t raw[kArchiveHeaderSize];
  if (ReadFull(source_, raw, kArchiveHeaderSize) != kArchiveHeaderSize) {
    compress_.InitArchiveHeader(header_, "", caMulti, 0);
    return;
  }
  compress_.DecodeArchiveHeader(raw, header_, compress_id_);
  has_header_ = true;
}

bool TArchiveReader::Next() {
  if (current_) Skip();
  if (end_ != TEnd::NotYet) return false;
  if (!has_header_) {
    end_ = TEnd::EndOfStream;
    return false;
  }
  uint8_t raw[kEntryHeaderSize];
  const int32_t got = ReadFull(source_, raw, kEntryHeaderSize);
  if (got != kEntryHeaderSize) {
    end_ = got <= 0 ? TEnd::EndOfStream : TEnd::CutShort;
    return false;
  }
  entry_ = TEntryHeader::Decode(raw);
  if (entry_.NameLength < 0) {
    end_ = TEnd::CutShort;
    return false;
  }
  name_.assign(static_cast<size_t>(entry_.NameLength), '\0');
  if (entry_.NameLength > 0 &&
      ReadFull(source_, name_.data(), entry_.NameLength) != entry_.NameLength) {
    end_ = TEnd::CutShort;
    return false;
  }
  // The header is read before the total is compared: what follows the last counted entry is not
  // part of the archive.
  if (!(done_ < header_.TotalSize)) {
    end_ = TEnd::TotalReached;
    return false;
  }
  // Sizes are signed in the header; a negative one can only come from a damaged archive, and
  // the next header could not be found after it. An unknown method code is no such damage: its
  // packed bytes are skipped by PackedSize like any other's.
  if (entry_.PackedSize < 0 || entry_.UnpackedSize < 0) {
    end_ = TEnd::Refused;
    throw EInvalidHeader();
  }
  start_ = source_.Position();
  consumed_ = 0;
  attempted_ = false;
  current_ = true;
  return true;
}

void TArchiveReader::CheckMethod() const {
  if (!current_) throw std::logic_error("TArchiveReader: no current entry");
  if (!FindMethod(entry_.Method)) throw EInvalidHeader();
}

int64_t TArchiveReader::Extract(TStream& dest) {
  if (!current_) throw std::logic_error("TArchiveReader: no current entry");
  if (attempted_) throw std::logic_error("TArchiveReader: entry already read");
  attempted_ = true;
  TCountingSource source(source_, consumed_);
  TCountingDest counted(dest);
  compress_.ExpandEntry(counted, source, entry_.PackedSize, entry_.UnpackedSize, entry_.Checksum,
                        entry_.Method, compress_id_, entry_.KeyLock);
  MovePastEntry();
  done_ += entry_.UnpackedSize;
  return counted.Written();
}

int64_t TArchiveReader::ExtractToFile(TFileStream& file) {
  int64_t written;
  try {
    written = Extract(file);
  } catch (const EInvalidKey&) {
    file.Remove();
    throw;
  } catch (...) {
    platform::SetAttributes(file, entry_.FileAttr);
    file.Close();
    throw;
  }
  platform::SetFileDate(file, entry_.FileDate);
  platform::SetAttributes(file, entry_.FileAttr);
  file.Close();
  return written;
}

int64_t TArchiveReader::Test() {
  TNullStream sink;
  return Extract(sink);
}

void TArchiveReader::Skip(bool counted) {
  if (!current_) return;
  MovePastEntry();
  if (counted) done_ += entry_.UnpackedSize;
}

void TArchiveReader::MoveTo(int64_t header_position, int64_t done) {
  current_ = false;
  end_ = TEnd::NotYet;
  done_ = done;
  if (source_.Seek(header_position, SeekOrigin::Begin) != header_position)
    throw EInOutError("Cannot seek to an entry of the archive");
}

void TArchiveReader::MovePastEntry() {
  current_ = false;
  if (start_ >= 0) {
    const int64_t target = start_ + entry_.PackedSize;
    if (source_.Seek(target, SeekOrigin::Begin) != target)
      throw EInOutError("Cannot seek to the next entry of the archive");
    return;
  }
  int64_t left = entry_.PackedSize - consumed_;
  if (left < 0)
    throw EInOutError("An entry read past its packed data on a stream that cannot seek");
  uint8_t drop[8192];
  while (left > 0) {
    const int32_t n = source_.Read(drop, left < 8192 ? static_cast<int32_t>(left) : 8192);
    if (n <= 0) break;  // the source ended: the next Next() finds its end
    left -= n;
  }
}

}  // namespace qobz
