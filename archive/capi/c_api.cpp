// The C API (qobz/qobz.h): handles over TArchiveReader, the one walk over an archive's entries,
// and TArchiveWriter. Every exported function catches everything; the component's exceptions
// become result codes and their messages stay on the handle.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/platform.h"
#include "qobz/archive_reader.h"
#include "qobz/compress.h"
#include "qobz/errors.h"
#include "qobz/methods.h"
#include "qobz/qobz.h"
#include "qobz/stream.h"
#include "qobz/writer.h"

namespace {

using namespace qobz;

// A failure of the call itself (bad argument, wrong order), with its code.
struct CallError {
  int code;
  std::string message;
};

// The bytes of a caller's buffer, read in place.
class TMemoryView : public TStream {
 public:
  TMemoryView(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(static_cast<int64_t>(size)) {}
  int32_t Read(void* buffer, int32_t count) override {
    if (count <= 0 || pos_ < 0 || pos_ >= size_) return 0;
    int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size_ - pos_));
    std::memcpy(buffer, data_ + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
  }
  void WriteBuffer(const void*, int32_t) override {
    throw EWriteError("Stream write error: the archive in memory is read-only");
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::End ? size_ : pos_;
    pos_ = base + offset;
    return pos_;
  }
  int64_t Size() override { return size_; }

 private:
  const uint8_t* data_;
  int64_t size_;
  int64_t pos_ = 0;
};

// A source read once through the caller's callback. It cannot seek (Position() answers -1), so the
// walk drops the rest of each entry by reading it.
class TCallbackSource : public TStream {
 public:
  TCallbackSource(qobz_read_fn read, void* user) : read_(read), user_(user) {}
  // Fills the whole request unless the data end: the layers above take a short read of a header
  // for the end of the archive.
  int32_t Read(void* buffer, int32_t count) override {
    int32_t got = 0;
    while (got < count && !failed_ && !ended_) {
      const size_t want = static_cast<size_t>(count - got);
      ptrdiff_t n = read_(user_, static_cast<uint8_t*>(buffer) + got, want);
      if (n < 0 || static_cast<size_t>(n) > want)
        failed_ = true;  // reported by the call that was reading (qobz_reader::Call)
      else if (n == 0)
        ended_ = true;
      else
        got += static_cast<int32_t>(n);
    }
    return got;
  }
  void WriteBuffer(const void*, int32_t) override {
    throw EWriteError("Stream write error: the archive source is read-only");
  }
  int64_t Seek(int64_t, SeekOrigin) override { return -1; }
  int64_t Size() override { return -1; }
  bool Failed() const { return failed_; }

 private:
  qobz_read_fn read_;
  void* user_;
  bool failed_ = false;
  bool ended_ = false;
};

// Extraction into a caller's buffer of fixed size.
class TBufferSink : public TStream {
 public:
  TBufferSink(void* buffer, size_t capacity)
      : buffer_(static_cast<uint8_t*>(buffer)), capacity_(capacity) {}
  int32_t Read(void*, int32_t) override { return 0; }
  void WriteBuffer(const void* data, int32_t count) override {
    if (count <= 0) return;
    if (static_cast<size_t>(count) > capacity_ - written_)
      throw EWriteError("Stream write error: the entry does not fit the buffer");
    std::memcpy(buffer_ + written_, data, static_cast<size_t>(count));
    written_ += static_cast<size_t>(count);
  }
  int64_t Seek(int64_t, SeekOrigin) override { return static_cast<int64_t>(written_); }
  int64_t Size() override { return static_cast<int64_t>(written_); }

 private:
  uint8_t* buffer_;
  size_t capacity_;
  size_t written_ = 0;
};

// Extraction through a caller's write callback.
class TCallbackSink : public TStream {
 public:
  TCallbackSink(qobz_write_fn write, void* user) : write_(write), user_(user) {}
  int32_t Read(void*, int32_t) override { return 0; }
  void WriteBuffer(const void* data, int32_t count) override {
    if (count <= 0) return;
    if (write_(user_, data, static_cast<size_t>(count)) != 0)
      throw EWriteError("Stream write error: the write callback stopped the extraction");
    written_ += count;
  }
  int64_t Seek(int64_t, SeekOrigin) override { return written_; }
  int64_t Size() override { return written_; }

 private:
  qobz_write_fn write_;
  void* user_;
  int64_t written_ = 0;
};

// The caller's progress callback, put between the component and the caller: a non-zero answer
// becomes the component's cancel (-1) and is remembered, because the component may take a cancel
// for damaged data (an expansion cut short) or for nothing at all (an empty entry).
struct ProgressRelay {
  qobz_progress_fn callback = nullptr;
  void* user = nullptr;
  bool cancelled = false;

  void Set(TCompress& compress, qobz_progress_fn fn, void* fn_user) {
    callback = fn;
    user = fn_user;
    if (!fn) {
      compress.OnShowProgress = nullptr;
      return;
    }
    compress.OnShowProgress = [this](int32_t& percent) {
      if (cancelled || callback(user, percent) != 0) {
        cancelled = true;
        percent = -1;
      }
    };
  }
  // Answers the call's result, CANCELLED when the callback stopped it whatever the layers below
  // made of that; clears the cancel for the next call.
  int Outcome(int result, std::string& message) {
    if (!cancelled) return result;
    cancelled = false;
    message = "Cancelled";
    return QOBZ_ERROR_CANCELLED;
  }
  void ThrowIfCancelled() const {
    if (cancelled) throw CallError{QOBZ_ERROR_CANCELLED, "Cancelled"};
  }
};

// Runs one call: answers its result, or the code and message of what it threw.
template <class Call>
int Run(std::string& message, Call&& call) {
  message.clear();
  auto fail = [&](int code, const std::string& text) {
    try {
      message = text;
    } catch (...) {
      message.clear();
    }
    return code;
  };
  try {
    return call();
  } catch (const CallError& e) {
    return fail(e.code, e.message);
  } catch (const ELZHBadDecodeTable& e) {
    return fail(QOBZ_ERROR_DECODE_TABLE, e.Message());
  } catch (const EInvalidHeaderArchiveType& e) {
    return fail(QOBZ_ERROR_ARCHIVE_TYPE, e.Message());
  } catch (const EInvalidHeader& e) {
    return fail(QOBZ_ERROR_HEADER, e.Message());
  } catch (const EBadChecksum& e) {
    return fail(QOBZ_ERROR_CHECKSUM, e.Message());
  } catch (const EInvalidKey& e) {
    return fail(QOBZ_ERROR_KEY, e.Message());
  } catch (const EUnrecognizedCompressionMethod& e) {
    return fail(QOBZ_ERROR_METHOD, e.Message());
  } catch (const EFOpenError& e) {
    return fail(QOBZ_ERROR_OPEN, e.Message());
  } catch (const EFCreateError& e) {
    return fail(QOBZ_ERROR_CREATE, e.Message());
  } catch (const EInOutError& e) {
    return fail(QOBZ_ERROR_READ, e.Message());
  } catch (const EWriteError& e) {
    return fail(QOBZ_ERROR_WRITE, e.Message());
  } catch (const Exception& e) {
    return fail(QOBZ_ERROR_OTHER, e.Message());
  } catch (const std::bad_alloc&) {
    return fail(QOBZ_ERROR_MEMORY, "Out of memory");
  } catch (const std::exception& e) {
    return fail(QOBZ_ERROR_OTHER, e.what());
  } catch (...) {
    return fail(QOBZ_ERROR_OTHER, "Unknown failure");
  }
}

void Require(bool condition, int code, const char* message) {
  if (!condition) throw CallError{code, message};
}

}  // namespace

struct qobz_reader {
  std::string message;
  TCompress compress;
  std::unique_ptr<TStream> source;
  TCallbackSource* callbacks = nullptr;  // the source, when it is the caller's callback
  std::unique_ptr<TArchiveReader> walk;
  bool has_entry = false;  // qobz_next_entry answered an entry that was not yet used
  // Where the walk failed, it cannot go on: the bytes after a damaged header mean nothing.
  int walk_error = QOBZ_OK;
  std::string walk_message;
  std::string name;
  ProgressRelay progress;

  template <class Body>
  int Call(Body&& call) {
    int result = progress.Outcome(Run(message, call), message);
    // A failing read callback looks like the end of the data to the layers below; report it as
    // what it was, whatever they made of it.
    if (callbacks && callbacks->Failed() && result != QOBZ_ERROR_MEMORY) {
      message = "The read callback reported an error";
      result = QOBZ_ERROR_READ;
    }
    return result;
  }

  // Forgets the archive open before, so that nothing of it (a failed callback) shows in the next.
  void Close() {
    walk.reset();
    source.reset();
    callbacks = nullptr;
    has_entry = false;
    walk_error = QOBZ_OK;
  }

  int Open(std::unique_ptr<TStream> stream, TCallbackSource* callback_source) {
    source = std::move(stream);
    callbacks = callback_source;
    walk = std::make_unique<TArchiveReader>(compress, *source);
    if (!walk->HasHeader()) {
      walk.reset();
      throw EInvalidHeader();
    }
    return QOBZ_OK;
  }

  // The current entry, taken for one extraction or test. One that this API cannot expand is
  // refused, naming it, and stays current: the next qobz_next_entry skips it.
  TArchiveReader& TakeEntry() {
    Require(walk != nullptr, QOBZ_ERROR_STATE, "No archive is open");
    Require(has_entry, QOBZ_ERROR_STATE, "No current entry: call qobz_next_entry first");
    const TEntryHeader& entry = walk->Entry();
    const TMethodInfo* method = FindMethod(entry.Method);
    if (method && method->ApplicationDefined)
      throw CallError{
          QOBZ_ERROR_METHOD,
          "Entry \"" + walk->Name() + "\" uses an application's own method (" + method->Id + ")"};
    if (!method)
      throw CallError{QOBZ_ERROR_METHOD, "Entry \"" + walk->Name() + "\" uses method code " +
                                             std::to_string(entry.Method) +
                                             ", which this library does not know"};
    has_entry = false;
    return *walk;
  }
};

struct qobz_writer {
  std::string message;
  TCompress compress;
  std::unique_ptr<TReplacingFile> file;
  std::unique_ptr<TMemoryStream> memory;
  std::unique_ptr<TArchiveWriter> writer;
  bool finished = false;
  bool broken = false;  // an entry failed after part of it was written
  bool best = false;    // qobz_writer_set_best, kept across archives
  ProgressRelay progress;

  template <class Body>
  int Call(Body&& call) {
    return progress.Outcome(Run(message, call), message);
  }

  void Reset() {
    writer.reset();
    file.reset();
    memory.reset();
    finished = false;
    broken = false;
  }

  void Start(TStream& out, int method, int32_t key, int lock) {
    compress.Key = key;
    writer = std::make_unique<TArchiveWriter>(compress, out, static_cast<uint8_t>(method), lock);
    writer->SetBest(best);
  }

  TArchiveWriter& Writing() {
    Require(writer != nullptr && !finished, QOBZ_ERROR_STATE,
            "No archive is being written: call qobz_create_path or qobz_create_memory first");
    Require(!broken, QOBZ_ERROR_STATE,
            "An entry failed part way: this archive is discarded, start a new one");
    return *writer;
  }

  // Adds one entry of `size` bytes. A failure before anything was written leaves the archive as
  // it was; one after that leaves a partial entry, and the archive can no longer be finished.
  template <class Add>
  void AddEntry(int64_t size, Add&& add) {
    TArchiveWriter& w = Writing();
    // The walk ends once the sizes read add up to the archive's total: an empty entry after
    // non-empty ones would never be read back.
    Require(size > 0 || w.TotalSize() == 0, QOBZ_ERROR_ARGUMENT,
            "An empty entry must come before every non-empty one, or it is never read back");
    TStream& out = file ? static_cast<TStream&>(file->Stream()) : *memory;
    const int64_t before = out.Position();
    try {
      add(w);
    } catch (...) {
      if (out.Position() != before) broken = true;
      throw;
    }
  }
};

namespace {

// The C codes are the table's codes.
static_assert(int{QOBZ_METHOD_STORED} == kMethodStored && int{QOBZ_METHOD_RLE} == kMethodRle &&
              int{QOBZ_METHOD_LZH} == kMethodLzh && int{QOBZ_METHOD_CUSTOM} == kMethodCustom &&
              int{QOBZ_METHOD_LH5} == kMethodLh5);

void CheckCreate(int method, int32_t key, int lock) {
  const TMethodInfo* info = FindMethod(method);
  Require(info && !info->ApplicationDefined, QOBZ_ERROR_ARGUMENT,
          "The method must be STORED, RLE, LZH or LH5");
  Require(lock >= 0 && lock <= 2, QOBZ_ERROR_ARGUMENT, "The lock must be 0, 1 or 2");
  Require((lock == 0) == (key == 0), QOBZ_ERROR_ARGUMENT,
          "A lock needs a non-zero key, and a key needs lock 1 or 2");
}

std::string StoredName(const char* name) {
  std::string stored = name;
  std::replace(stored.begin(), stored.end(), '/', '\\');
  return stored;
}

}  // namespace

extern "C" {

const char* qobz_version(void) {
  return QOBZ_VERSION_STRING;
}

int qobz_version_number(void) {
  return QOBZ_VERSION_NUMBER;
}

const char* qobz_result_text(int result) {
  switch (result) {
    case QOBZ_OK:
      return "ok";
    case QOBZ_DONE:
      return "no further entry";
    case QOBZ_ERROR_ARGUMENT:
      return "invalid argument";
    case QOBZ_ERROR_STATE:
      return "call out of order";
    case QOBZ_ERROR_MEMORY:
      return "out of memory";
    case QOBZ_ERROR_OPEN:
      return "cannot open file";
    case QOBZ_ERROR_CREATE:
      return "cannot create file";
    case QOBZ_ERROR_READ:
      return "read error";
    case QOBZ_ERROR_WRITE:
      return "write error";
    case QOBZ_ERROR_HEADER:
      return "not an archive or damaged header";
    case QOBZ_ERROR_ARCHIVE_TYPE:
      return "unsupported archive type";
    case QOBZ_ERROR_METHOD:
      return "unsupported compression method";
    case QOBZ_ERROR_CHECKSUM:
      return "bad checksum";
    case QOBZ_ERROR_KEY:
      return "locked entry: valid key required";
    case QOBZ_ERROR_DECODE_TABLE:
      return "damaged compressed data";
    case QOBZ_ERROR_OTHER:
      return "error";
    case QOBZ_ERROR_CANCELLED:
      return "cancelled";
    default:
      return "unknown result code";
  }
}

const char* qobz_method_name(int method) {
  const TMethodInfo* info = FindMethod(method);
  return info ? info->Id : nullptr;
}

// ---- Reading ----

qobz_reader* qobz_reader_new(void) {
  // The component allocates as it is made: whatever that throws becomes NULL.
  try {
    return new qobz_reader();
  } catch (...) {
    return nullptr;
  }
}

void qobz_reader_free(qobz_reader* reader) {
  try {
    delete reader;
  } catch (...) {
  }
}

const char* qobz_reader_message(const qobz_reader* reader) {
  return reader ? reader->message.c_str() : "";
}

int qobz_reader_set_progress(qobz_reader* reader, qobz_progress_fn progress, void* user) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  reader->progress.Set(reader->compress, progress, user);
  return QOBZ_OK;
}

int qobz_reader_set_key(qobz_reader* reader, int32_t key) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  reader->compress.Key = key;
  reader->message.clear();
  return QOBZ_OK;
}

int qobz_open_path(qobz_reader* reader, const char* path, int64_t offset) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  return reader->Call([&] {
    Require(path != nullptr && offset >= 0, QOBZ_ERROR_ARGUMENT, "Need a path and an offset >= 0");
    reader->Close();
    auto file = TFileStream::OpenRead(path);
    if (file->Seek(offset, SeekOrigin::Begin) != offset || offset > file->Size())
      throw CallError{QOBZ_ERROR_HEADER, "The offset lies past the end of " + std::string(path)};
    return reader->Open(std::move(file), nullptr);
  });
}

int qobz_open_memory(qobz_reader* reader, const void* data, size_t size) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  return reader->Call([&] {
    Require(data != nullptr || size == 0, QOBZ_ERROR_ARGUMENT, "Need the archive's bytes");
    reader->Close();
    return reader->Open(std::make_unique<TMemoryView>(data, size), nullptr);
  });
}

int qobz_open_callbacks(qobz_reader* reader, qobz_read_fn read, void* user) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  return reader->Call([&] {
    Require(read != nullptr, QOBZ_ERROR_ARGUMENT, "Need a read callback");
    reader->Close();
    auto source = std::make_unique<TCallbackSource>(read, user);
    TCallbackSource* raw = source.get();
    return reader->Open(std::move(source), raw);
  });
}

const char* qobz_archive_method(const qobz_reader* reader) {
  return reader && reader->walk ? reader->walk->CompressID().c_str() : "";
}

int64_t qobz_archive_total_size(const qobz_reader* reader) {
  return reader && reader->walk ? reader->walk->Header().TotalSize : 0;
}

int qobz_next_entry(qobz_reader* reader, qobz_entry* entry) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  if (!entry) {
    reader->message = "Need an entry to fill";
    return QOBZ_ERROR_ARGUMENT;
  }
  if (reader->walk_error != QOBZ_OK) {
    reader->message = reader->walk_message;
    return reader->walk_error;
  }
  int result = reader->Call([&] {
    Require(reader->walk != nullptr, QOBZ_ERROR_STATE, "No archive is open");
    reader->has_entry = false;
    TArchiveReader& walk = *reader->walk;
    if (!walk.Next()) {
      // The component ends quietly where the data end; a caller of this API learns that the
      // archive was cut short instead of seeing fewer entries.
      if (walk.EndReason() == TArchiveReader::TEnd::CutShort)
        throw CallError{QOBZ_ERROR_HEADER, "The archive ends inside an entry header"};
      if (walk.EndReason() == TArchiveReader::TEnd::EndOfStream &&
          walk.Done() < walk.Header().TotalSize)
        throw CallError{QOBZ_ERROR_HEADER,
                        "The archive ends before its entries add up to its total size"};
      // A skipped last entry whose data were cut off moved the position past the end.
      const int64_t at = reader->source->Position();
      if (at >= 0 && at > reader->source->Size())
        throw CallError{QOBZ_ERROR_HEADER, "The archive ends inside an entry's data"};
      return QOBZ_DONE;
    }
    const TEntryHeader& h = walk.Entry();
    reader->name = walk.Name();
    entry->name = reader->name.c_str();
    entry->size = h.UnpackedSize;
    entry->packed_size = h.PackedSize;
    entry->method = h.Method;
    entry->dos_date = h.FileDate;
    entry->attributes = h.FileAttr;
    entry->checksum = h.Checksum;
    entry->lock = h.KeyLock;
    reader->has_entry = true;
    return QOBZ_OK;
  });
  if (result < 0 && result != QOBZ_ERROR_STATE && result != QOBZ_ERROR_MEMORY) {
    reader->walk_error = result;
    reader->walk_message = reader->message;
  }
  return result;
}

int qobz_test_entry(qobz_reader* reader) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  return reader->Call([&] {
    reader->TakeEntry().Test();
    return QOBZ_OK;
  });
}

int qobz_extract_to_file(qobz_reader* reader, const char* path) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  return reader->Call([&] {
    Require(path != nullptr && *path != '\0', QOBZ_ERROR_ARGUMENT, "Need a path");
    TArchiveReader& walk = reader->TakeEntry();
    const TEntryHeader entry = walk.Entry();
    TReplacingFile file(path);
    walk.Extract(file.Stream());
    reader->progress.ThrowIfCancelled();  // a cancel at 100 still keeps nothing
    platform::SetFileDate(file.Stream(), entry.FileDate);
    file.Commit();
    platform::SetAttributes(path, entry.FileAttr);
    return QOBZ_OK;
  });
}

int qobz_extract_to_memory(qobz_reader* reader, void* buffer, size_t capacity, size_t* written) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  if (written) *written = 0;
  return reader->Call([&] {
    Require(buffer != nullptr || capacity == 0, QOBZ_ERROR_ARGUMENT, "Need a buffer");
    Require(reader->walk != nullptr && reader->has_entry, QOBZ_ERROR_STATE,
            "No current entry: call qobz_next_entry first");
    const int64_t size = reader->walk->Entry().UnpackedSize;
    if (static_cast<uint64_t>(size) > capacity)
      throw CallError{QOBZ_ERROR_ARGUMENT, "The buffer of " + std::to_string(capacity) +
                                               " bytes cannot hold the entry's " +
                                               std::to_string(size) + " bytes"};
    TBufferSink sink(buffer, capacity);
    int64_t n = reader->TakeEntry().Extract(sink);
    if (written) *written = static_cast<size_t>(n);
    return QOBZ_OK;
  });
}

int qobz_extract_to_callback(qobz_reader* reader, qobz_write_fn write, void* user) {
  if (!reader) return QOBZ_ERROR_ARGUMENT;
  return reader->Call([&] {
    Require(write != nullptr, QOBZ_ERROR_ARGUMENT, "Need a write callback");
    TCallbackSink sink(write, user);
    reader->TakeEntry().Extract(sink);
    return QOBZ_OK;
  });
}

// ---- Writing ----

qobz_writer* qobz_writer_new(void) {
  // The component allocates as it is made: whatever that throws becomes NULL.
  try {
    return new qobz_writer();
  } catch (...) {
    return nullptr;
  }
}

void qobz_writer_free(qobz_writer* writer) {
  try {
    delete writer;
  } catch (...) {
  }
}

const char* qobz_writer_message(const qobz_writer* writer) {
  return writer ? writer->message.c_str() : "";
}

int qobz_create_path(qobz_writer* writer, const char* path, int method, int32_t key, int lock) {
  if (!writer) return QOBZ_ERROR_ARGUMENT;
  return Run(writer->message, [&] {
    Require(path != nullptr && *path != '\0', QOBZ_ERROR_ARGUMENT, "Need a path");
    CheckCreate(method, key, lock);
    writer->Reset();
    writer->file = std::make_unique<TReplacingFile>(path);
    writer->Start(writer->file->Stream(), method, key, lock);
    return QOBZ_OK;
  });
}

int qobz_create_memory(qobz_writer* writer, int method, int32_t key, int lock) {
  if (!writer) return QOBZ_ERROR_ARGUMENT;
  return Run(writer->message, [&] {
    CheckCreate(method, key, lock);
    writer->Reset();
    writer->memory = std::make_unique<TMemoryStream>();
    writer->Start(*writer->memory, method, key, lock);
    return QOBZ_OK;
  });
}

int qobz_writer_set_best(qobz_writer* writer, int best) {
  if (!writer) return QOBZ_ERROR_ARGUMENT;
  writer->best = best != 0;
  if (writer->writer) writer->writer->SetBest(writer->best);
  return QOBZ_OK;
}

int qobz_writer_set_progress(qobz_writer* writer, qobz_progress_fn progress, void* user) {
  if (!writer) return QOBZ_ERROR_ARGUMENT;
  writer->progress.Set(writer->compress, progress, user);
  return QOBZ_OK;
}

int qobz_add_file(qobz_writer* writer, const char* path, const char* stored_name) {
  if (!writer) return QOBZ_ERROR_ARGUMENT;
  return writer->Call([&] {
    Require(path != nullptr && stored_name != nullptr, QOBZ_ERROR_ARGUMENT,
            "Need a path and a stored name");
    const int64_t size = TFileStream::OpenRead(path)->Size();
    writer->AddEntry(size, [&](TArchiveWriter& w) { w.AddFile(path, StoredName(stored_name)); });
    return QOBZ_OK;
  });
}

int qobz_add_memory(qobz_writer* writer, const char* stored_name, const void* data, size_t size,
                    uint32_t dos_date, uint32_t attributes) {
  if (!writer) return QOBZ_ERROR_ARGUMENT;
  return writer->Call([&] {
    Require(stored_name != nullptr && (data != nullptr || size == 0), QOBZ_ERROR_ARGUMENT,
            "Need a stored name and the data");
    Require(attributes <= 0xFFFF, QOBZ_ERROR_ARGUMENT, "Attributes are 16 bits");
    TMemoryView source(data, size);
    writer->AddEntry(static_cast<int64_t>(size), [&](TArchiveWriter& w) {
      w.AddEntry(StoredName(stored_name), source, dos_date, static_cast<uint16_t>(attributes));
    });
    return QOBZ_OK;
  });
}

int qobz_writer_finish(qobz_writer* writer) {
  if (!writer) return QOBZ_ERROR_ARGUMENT;
  return Run(writer->message, [&] {
    writer->Writing().Finish();
    if (writer->file) {
      writer->file->Commit();
      writer->file.reset();
    }
    writer->finished = true;
    return QOBZ_OK;
  });
}

int qobz_writer_data(const qobz_writer* writer, const void** data, size_t* size) {
  if (!writer || !data || !size) return QOBZ_ERROR_ARGUMENT;
  if (!writer->finished || !writer->memory) return QOBZ_ERROR_STATE;
  *data = writer->memory->Data().data();
  *size = writer->memory->Data().size();
  return QOBZ_OK;
}

}  // extern "C"
