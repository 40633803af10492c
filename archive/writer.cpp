// Writing archives: headers, names and packed data, with checksums and locks that the expansion
// accepts.
#include "qobz/writer.h"

#include <memory>

#include "codecs/codec_state.h"
#include "platform/platform.h"

namespace qobz {

namespace {

constexpr int64_t kMaxSize = 2147483647;

void WriteArchiveHeader(TStream& out, const TArchiveHeader& header) {
  uint8_t raw[kArchiveHeaderSize];
  header.Encode(raw);
  out.WriteBuffer(raw, kArchiveHeaderSize);
}

void WriteEntryHeader(TStream& out, const TEntryHeader& header) {
  uint8_t raw[kEntryHeaderSize];
  header.Encode(raw);
  out.WriteBuffer(raw, kEntryHeaderSize);
}

// Sets the component's key for the length of one codec run and restores it afterwards.
class KeyOverride {
 public:
  KeyOverride(TCompress& compress, int32_t key) : compress_(compress), saved_(compress.Key) {
    compress.Key = key;
  }
  ~KeyOverride() { compress_.Key = saved_; }

 private:
  TCompress& compress_;
  int32_t saved_;
};

// Watches the component's progress handler for a cancel for the length of one entry.
class CancelWatch {
 public:
  explicit CancelWatch(TCompress& compress) : compress_(compress), saved_(compress.OnShowProgress) {
    if (saved_)
      compress.OnShowProgress = [this](int32_t& percent) {
        saved_(percent);
        if (percent == -1) cancelled_ = true;
      };
  }
  ~CancelWatch() { compress_.OnShowProgress = saved_; }
  bool Cancelled() const { return cancelled_; }

 private:
  TCompress& compress_;
  TShowProgressEvent saved_;
  bool cancelled_ = false;
};

}  // namespace

TArchiveWriter::TArchiveWriter(TCompress& compress, TStream& out, uint8_t method, int32_t key_lock)
    : compress_(compress), out_(out), method_(method), key_lock_(key_lock) {
  if (method > kMethodLh5 || method == kMethodCustom)
    throw Exception("No built-in codec packs method " + std::to_string(method));
  if (key_lock != 0 && compress.Key == 0) throw Exception("Locking entries needs a non-zero key");
  if (key_lock < 0 || key_lock > 2) throw Exception("Lock must be 0, 1 or 2");
  archive_start_ = out.Position();
  TArchiveHeader header;
  compress_.InitArchiveHeader(header, kMethodIds[method], caMulti, 0);
  WriteArchiveHeader(out_, header);
}

TWrittenEntry TArchiveWriter::AddEntry(const std::string& stored_name, TStream& source,
                                       uint32_t file_date, uint16_t file_attr) {
  const int64_t source_start = source.Position();
  const int64_t size = source.Size() - source_start;
  if (stored_name.size() > 32767) throw EInvalidHeader();
  if (size < 0 || size > kMaxSize || total_size_ + size > kMaxSize)
    throw Exception("\"" + stored_name + "\" does not fit: an archive holds at most 2 GiB - 1");

  TEntryHeader header;
  header.NameLength = static_cast<int16_t>(stored_name.size());
  header.FileDate = file_date;
  header.FileAttr = file_attr;
  header.UnpackedSize = static_cast<int32_t>(size);
  header.KeyLock = key_lock_;

  const int64_t header_at = out_.Position();
  WriteEntryHeader(out_, header);
  out_.WriteBuffer(stored_name.data(), header.NameLength);
  const int64_t data_at = out_.Position();

  // Only entries locked with 2 carry scrambled bytes; a lock of 1 packs them as they are.
  const int32_t run_key = key_lock_ == 2 ? compress_.Key : 0;
  uint32_t sum = 0;
  int32_t packed = 0;
  uint8_t method = method_;
  CancelWatch watch(compress_);
  try {
    KeyOverride key(compress_, run_key);
    TLH5EncoderChoice choice(compress_.CodecState(), best_);
    packed = compress_.RunCodec(out_, source, header.UnpackedSize, header.UnpackedSize, method, sum,
                                false, false);
  } catch (const EUnableToCompress&) {
    // The packed form would be larger than the file: store it. What the codec wrote is at most
    // the file's size, so the stored copy overwrites all of it.
    method = kMethodStored;
    source.Seek(source_start, SeekOrigin::Begin);
    out_.Seek(data_at, SeekOrigin::Begin);
    KeyOverride key(compress_, run_key);
    packed = compress_.RunCodec(out_, source, header.UnpackedSize, header.UnpackedSize, method, sum,
                                false, false);
  }
  if (watch.Cancelled()) throw Exception("Cancelled");
  if (source.Position() - source_start != header.UnpackedSize)
    throw Exception("\"" + stored_name + "\" changed or could not be read while it was packed");

  header.Method = method;
  header.PackedSize = packed;
  // A locked entry's checksum includes the key, so a wrong key is told apart from bad data.
  header.Checksum = key_lock_ > 0 ? sum + static_cast<uint32_t>(compress_.Key) : sum;
  const int64_t end = out_.Position();
  out_.Seek(header_at, SeekOrigin::Begin);
  WriteEntryHeader(out_, header);
  out_.Seek(end, SeekOrigin::Begin);
  total_size_ += header.UnpackedSize;
  return {stored_name, header};
}

TWrittenEntry TArchiveWriter::AddFile(const std::string& path, const std::string& stored_name) {
  auto source = TFileStream::OpenRead(path);
  int64_t attributes = platform::GetAttributes(path);
  uint16_t attr = attributes < 0 ? platform::kAttrArchive
                                 : static_cast<uint16_t>(attributes & ~platform::kAttrDirectory);
  return AddEntry(stored_name, *source, platform::GetFileDate(path), attr);
}

void TArchiveWriter::Finish() {
  const int64_t end = out_.Position();
  TArchiveHeader header;
  compress_.InitArchiveHeader(header, kMethodIds[method_], caMulti, total_size_);
  out_.Seek(archive_start_, SeekOrigin::Begin);
  WriteArchiveHeader(out_, header);
  out_.Seek(end, SeekOrigin::Begin);
}

}  // namespace qobz
