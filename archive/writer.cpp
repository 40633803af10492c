// Writing archives: headers, names and packed data, with checksums and locks that the expansion
// accepts.
#include "qobz/writer.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "archive/job_pool.h"
#include "codecs/codec_state.h"
#include "platform/platform.h"
#include "qobz/methods.h"

namespace qobz {

namespace {

constexpr int64_t kMaxSize = kMaxFieldSize;

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

// Moves the archive's stream back to a header, or on past it, to complete it. A stream that
// cannot seek there (a pipe) would give an archive whose headers are wrong: that is an error.
void SeekTo(TStream& out, int64_t position) {
  if (out.Seek(position, SeekOrigin::Begin) != position)
    throw EWriteError("Stream write error: the archive's stream cannot seek to its headers");
}

// The attribute bits stored for an open file of the host system.
uint16_t FileAttributes(TFileStream& file) {
  int64_t attributes = platform::GetAttributes(file);
  return attributes < 0 ? platform::kAttrArchive
                        : static_cast<uint16_t>(attributes & ~platform::kAttrDirectory);
}

// The one place a cancel by the application's progress handler becomes an error.
void ThrowIfCancelled(bool cancelled) {
  if (cancelled) throw ECancelled();
}

}  // namespace

TArchiveWriter::TArchiveWriter(TCompress& compress, TStream& out, uint8_t method, int32_t key_lock)
    : compress_(compress), out_(out), method_(method), key_lock_(key_lock) {
  const TMethodInfo* info = FindMethod(method);
  if (!info || info->ApplicationDefined)
    throw Exception("No built-in codec packs method " + std::to_string(method));
  if (key_lock != 0 && compress.Key == 0) throw Exception("Locking entries needs a non-zero key");
  if (key_lock < 0 || key_lock > 2) throw Exception("Lock must be 0, 1 or 2");
  archive_start_ = out.Position();
  if (archive_start_ < 0)
    throw EWriteError("Stream write error: the archive's stream cannot seek to its headers");
  TArchiveHeader header;
  compress_.InitArchiveHeader(header, info->Id, caMulti, 0);
  WriteArchiveHeader(out_, header);
}

void TArchiveWriter::CheckFits(const std::string& stored_name, int64_t size) const {
  if (stored_name.size() > 32767) throw EInvalidHeader();
  if (size < 0 || size > kMaxSize || total_size_ + size > kMaxSize)
    throw Exception("\"" + stored_name + "\" does not fit: an archive holds at most 2 GiB - 1");
}

TEntryHeader TArchiveWriter::NewHeader(const std::string& stored_name, int64_t size,
                                       uint32_t file_date, uint16_t file_attr) const {
  TEntryHeader header;
  header.NameLength = static_cast<int16_t>(stored_name.size());
  header.FileDate = file_date;
  header.FileAttr = file_attr;
  header.UnpackedSize = static_cast<int32_t>(size);
  header.KeyLock = key_lock_;
  return header;
}

void TArchiveWriter::Pack(TCompress& compress, int32_t key, TStream& out, TStream& source,
                          const std::string& stored_name, TEntryHeader& header) const {
  const int64_t source_start = source.Position();
  const int64_t data_at = out.Position();
  TCodecOptions options;
  // Only entries locked with 2 carry scrambled bytes; a lock of 1 packs them as they are.
  options.Key = key_lock_ == 2 ? key : 0;
  // compress is the component's or a helper thread's own: either packs with the chosen encoder.
  options.Effort = best_ ? TEffort::Smallest : TEffort::Default;
  options.OutputLimit = header.UnpackedSize;
  options.Progress = &compress.OnShowProgress;
  uint8_t method = method_;
  TCodecResult result;
  bool cancelled = false;
  try {
    result =
        compress.Run(out, source, header.UnpackedSize, header.UnpackedSize, method, false, options);
  } catch (const EUnableToCompress&) {
    // The packed form would be larger than the file: store it. What the codec wrote is at most
    // the file's size, so the stored copy overwrites all of it.
    cancelled = compress.CodecState().FetchCancelled;
    method = kMethodStored;
    if (source.Seek(source_start, SeekOrigin::Begin) != source_start)
      throw Exception("\"" + stored_name + "\" cannot be read again to be stored");
    SeekTo(out, data_at);
    options.Effort = TEffort::Default;
    result =
        compress.Run(out, source, header.UnpackedSize, header.UnpackedSize, method, false, options);
  }
  ThrowIfCancelled(cancelled || result.Cancelled);
  if (source.Position() - source_start != header.UnpackedSize)
    throw EInOutError("\"" + stored_name + "\" changed or could not be read while it was packed");

  header.Method = method;
  header.PackedSize = result.Written;
  // A locked entry's checksum includes the key, so a wrong key is told apart from bad data.
  header.Checksum = key_lock_ > 0 ? result.Checksum + static_cast<uint32_t>(key) : result.Checksum;
}

TWrittenEntry TArchiveWriter::AddEntry(const std::string& stored_name, TStream& source,
                                       uint32_t file_date, uint16_t file_attr) {
  const int64_t size = source.Size() - source.Position();
  CheckFits(stored_name, size);
  TEntryHeader header = NewHeader(stored_name, size, file_date, file_attr);

  const int64_t header_at = out_.Position();
  WriteEntryHeader(out_, header);
  out_.WriteBuffer(stored_name.data(), header.NameLength);
  Pack(compress_, compress_.Key, out_, source, stored_name, header);
  const int64_t end = out_.Position();
  SeekTo(out_, header_at);
  WriteEntryHeader(out_, header);
  SeekTo(out_, end);
  total_size_ += header.UnpackedSize;
  return {stored_name, header};
}

namespace {

// Opens a file to be added: `path` itself, or the path below `root` when the writer reads a held
// tree. What cannot seek (a FIFO that took a file's place) tells no size, and is refused as a file
// that cannot be opened.
std::unique_ptr<TFileStream> OpenInput(const platform::THeldFolder* root, const std::string& path) {
  auto source = root ? TFileStream::OpenReadBelow(*root, path) : TFileStream::OpenRead(path);
  if (source->Position() < 0)
    throw EFOpenError("Cannot open file \"" + path + "\". It is not a regular file");
  return source;
}

// The source folder held for one call (null without one); raises EFOpenError.
std::shared_ptr<const platform::THeldFolder> HoldSource(const std::string& folder) {
  if (folder.empty()) return nullptr;
  std::shared_ptr<const platform::THeldFolder> root = platform::HoldFolderToRead(folder);
  if (!root)
    throw EFOpenError("Cannot open folder \"" + folder + "\". " + platform::LastErrorText());
  return root;
}

TWrittenEntry AddFileFrom(TArchiveWriter& writer, const platform::THeldFolder* root,
                          const std::string& path, const std::string& stored_name) {
  auto source = OpenInput(root, path);
  // Date and attributes of the file opened, not of whatever the path names by now.
  const uint16_t attr = FileAttributes(*source);
  return writer.AddEntry(stored_name, *source, platform::GetFileDate(*source), attr);
}

}  // namespace

TWrittenEntry TArchiveWriter::AddFile(const std::string& path, const std::string& stored_name) {
  return AddFileFrom(*this, HoldSource(source_folder_).get(), path, stored_name);
}

namespace {

// A temporary file that holds one entry's packed data. Its name is removed at once where the
// system allows that for an open file, otherwise when it is closed.
struct SpillFile {
  std::unique_ptr<TFileStream> stream;
  std::string path_left;
  // Made 0600: packed data of the files being added are theirs alone to read, however briefly
  // named.
  explicit SpillFile(const std::string& folder)
      : stream(TFileStream::CreateUnique(folder, ".qobz-")) {
    if (!platform::DeleteFile(stream->Path())) path_left = stream->Path();
  }
  ~SpillFile() {
    stream.reset();
    if (!path_left.empty()) platform::DeleteFile(path_left);
  }
};

// One file of AddFiles as a worker leaves it.
struct PackedAhead {
  enum class State { Packed, InTurn, Failed };
  State state = State::Failed;
  TEntryHeader header;
  std::vector<uint8_t> data;         // the packed data, or
  std::unique_ptr<SpillFile> spill;  // the packed data of a large file
  std::exception_ptr error;
};

}  // namespace

void TArchiveWriter::AddFiles(const std::vector<TFileToAdd>& files, int threads,
                              const TAddFilesEvents& events) {
  // A file that cannot be opened has nothing of it written: it is reported, or raised.
  auto open_failed = [&](size_t index, std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const EFOpenError& e) {
      if (!events.Skipped) throw;
      events.Skipped(index, e);
    }
  };
  const std::shared_ptr<const platform::THeldFolder> root = HoldSource(source_folder_);
  if (TJobPool::Available(threads) <= 1 || files.size() <= 1) {
    for (size_t i = 0; i < files.size(); ++i) {
      if (events.BeforeEntry) events.BeforeEntry(i);
      try {
        AddFileFrom(*this, root.get(), files[i].Path, files[i].StoredName);
      } catch (const EFOpenError&) {
        open_failed(i, std::current_exception());
      }
    }
    return;
  }

  // Workers pack files of at most kPackAheadLimit bytes into memory, while the packed data waiting
  // to be written stays under kHeldLimit bytes and at most kAheadPerThread * threads files lie
  // beyond the one being written; the calling thread writes them in order. A larger file goes to a
  // spill file when there is a spill folder; without one the calling thread packs it itself,
  // straight into the archive, when its turn comes. Memory therefore stays bounded whatever the
  // sizes (kHeldLimit plus one file per worker), and the bytes are those of AddFile.
  // A window of 2 files per worker left a core idle behind every larger file: /usr/include packed
  // in 4.0 s on two cores instead of 3.1 s.
  constexpr int64_t kPackAheadLimit = int64_t{4} << 20;
  constexpr int64_t kHeldLimit = int64_t{32} << 20;
  constexpr size_t kAheadPerThread = 64;
  TJobPool pool(threads, {kAheadPerThread * static_cast<size_t>(threads), kHeldLimit});
  const int32_t key = compress_.Key;
  std::vector<PackedAhead> slots(files.size());
  // Each worker's own component; a cancel on the calling thread reaches a worker's codec at its
  // next progress step.
  std::vector<std::unique_ptr<TCompress>> workers(static_cast<size_t>(pool.Workers()));

  auto pack = [&](size_t worker, size_t index) -> int64_t {
    if (!workers[worker]) {
      workers[worker] = std::make_unique<TCompress>();
      workers[worker]->OnShowProgress = [&pool](int32_t& percent) {
        if (pool.Stopping()) percent = -1;
      };
    }
    TCompress& compress = *workers[worker];
    PackedAhead& result = slots[index];
    try {
      auto source = OpenInput(root.get(), files[index].Path);
      const int64_t size = source->Size();
      const uint32_t file_date = platform::GetFileDate(*source);
      const uint16_t file_attr = FileAttributes(*source);
      if (size < 0 || size > kMaxSize || (size > kPackAheadLimit && spill_folder_.empty())) {
        result.state = PackedAhead::State::InTurn;
      } else if (size > kPackAheadLimit) {
        try {
          result.spill = std::make_unique<SpillFile>(spill_folder_);
        } catch (const EFCreateError&) {
          result.state = PackedAhead::State::InTurn;  // no room to spill: packed in its turn
        }
        if (result.spill) {
          result.header = NewHeader(files[index].StoredName, size, file_date, file_attr);
          Pack(compress, key, *result.spill->stream, *source, files[index].StoredName,
               result.header);
          result.state = PackedAhead::State::Packed;
        }
      } else {
        result.header = NewHeader(files[index].StoredName, size, file_date, file_attr);
        TMemoryStream out;
        out.Data().reserve(static_cast<size_t>(size));
        Pack(compress, key, out, *source, files[index].StoredName, result.header);
        result.data = std::move(out.Data());
        result.data.resize(static_cast<size_t>(result.header.PackedSize));
        result.state = PackedAhead::State::Packed;
      }
    } catch (...) {
      result.spill.reset();
      result.state = PackedAhead::State::Failed;
      result.error = std::current_exception();
    }
    return static_cast<int64_t>(result.data.capacity());
  };

  auto write = [&](size_t i) {
    if (events.BeforeEntry) events.BeforeEntry(i);
    PackedAhead slot = std::move(slots[i]);
    const std::string& path = files[i].Path;
    const std::string& name = files[i].StoredName;
    if (slot.state == PackedAhead::State::Failed) {
      open_failed(i, slot.error);
    } else if (slot.state == PackedAhead::State::InTurn) {
      try {
        AddFileFrom(*this, root.get(), path, name);
      } catch (const EFOpenError&) {
        open_failed(i, std::current_exception());
      }
    } else {
      TEntryHeader& header = slot.header;
      CheckFits(name, header.UnpackedSize);
      WriteEntryHeader(out_, header);
      out_.WriteBuffer(name.data(), header.NameLength);
      if (slot.spill) {
        CopySpill(*slot.spill->stream, header.PackedSize);
      } else {
        out_.WriteBuffer(slot.data.data(), header.PackedSize);
      }
      total_size_ += header.UnpackedSize;
      if (compress_.OnShowProgress) {
        int32_t percent = 100;
        compress_.OnShowProgress(percent);
        ThrowIfCancelled(percent == -1);
      }
    }
  };

  pool.Run(files.size(), pack, write);
}

void TArchiveWriter::CopySpill(TStream& spill, int32_t count) {
  constexpr int32_t kChunk = 1 << 20;
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min(count, kChunk)));
  const EInOutError unreadable("Stream read error: packed data kept in a temporary file are gone");
  if (spill.Seek(0, SeekOrigin::Begin) != 0) throw unreadable;
  for (int32_t done = 0; done < count;) {
    const int32_t n = spill.Read(chunk.data(), std::min(count - done, kChunk));
    if (n <= 0) throw unreadable;
    out_.WriteBuffer(chunk.data(), n);
    done += n;
  }
}

void TArchiveWriter::Finish() {
  const int64_t end = out_.Position();
  TArchiveHeader header;
  compress_.InitArchiveHeader(header, FindMethod(method_)->Id, caMulti, total_size_);
  SeekTo(out_, archive_start_);
  WriteArchiveHeader(out_, header);
  SeekTo(out_, end);
}

}  // namespace qobz
