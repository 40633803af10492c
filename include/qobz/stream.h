// The stream abstraction that archives, entries and codecs move through.
//
// A source reports how many bytes it delivered (0 at its end or on a failure); a destination
// writes every byte or raises. Positions and sizes are 64-bit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qobz {

namespace platform {
class THeldFolder;
}

enum class SeekOrigin { Begin, Current, End };

class TStream {
 public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Reads up to count bytes; returns how many arrived (0 at the end, on failure or for count <= 0).
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes all count bytes or raises EWriteError.
  virtual void WriteBuffer(const void* buffer, int32_t count) = 0;
  // Moves the position and returns the new one. Positions past the end are allowed.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, SeekOrigin::Current); }
};

// A growable in-memory stream.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}

  int32_t Read(void* buffer, int32_t count) override;
  void WriteBuffer(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  const std::vector<uint8_t>& Data() const { return data_; }
  std::vector<uint8_t>& Data() { return data_; }

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

// A destination that counts and discards what it is given (used to test entries).
class TNullStream : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  void WriteBuffer(const void*, int32_t count) override { size_ += count > 0 ? count : 0; }
  int64_t Seek(int64_t, SeekOrigin) override { return size_; }
  int64_t Size() override { return size_; }

 private:
  int64_t size_ = 0;
};

// The folders below an extraction target that TFileStream::CreateEntryBelow keeps open from one
// entry to the next (POSIX; Windows keeps none), so that entries in the same folders are made
// without opening every folder of their path again. It holds the folders of the paths walked last,
// each reached as CreateEntryBelow reaches them (never through a link), at most 32 deep. Use one
// for one target, on one thread at a time.
class TFolderWalk {
 public:
  // Folders a walk keeps open at most, the target included: one descriptor each, and one more
  // for a folder deeper than that while a file is made there.
  static constexpr size_t kHeld = 32;
  TFolderWalk() = default;
  ~TFolderWalk();
  TFolderWalk(const TFolderWalk&) = delete;
  TFolderWalk& operator=(const TFolderWalk&) = delete;

 private:
  friend class TFileStream;
  void Reset();
  std::string base_;  // the target the folders are below
  // (name, handle) from the target itself down; the target's name is empty.
  std::vector<std::pair<std::string, intptr_t>> chain_;
};

// A stream on a file of the host system. The handle is closed by the destructor.
class TFileStream : public TStream {
 public:
  // Opens an existing file read-only, letting other processes read and write it meanwhile.
  // Raises EFOpenError naming the path and the system's reason.
  static std::unique_ptr<TFileStream> OpenRead(const std::string& path);
  // Opens the regular file `relative` (an archive-style path) below a folder held by
  // platform::HoldFolderToRead, one name at a time without following a link: a link or anything
  // but a folder on the way, or anything but a regular file at the end, is an EFOpenError.
  static std::unique_ptr<TFileStream> OpenReadBelow(const platform::THeldFolder& root,
                                                    const std::string& relative);
  // Creates a file anew (or cuts an existing one to length 0) for reading and writing, without
  // sharing, with normal attributes. Raises EFCreateError naming the path and the reason.
  static std::unique_ptr<TFileStream> Create(const std::string& path);
  // Creates the file of an archive entry. As Create, except that whatever is found at the path
  // and is not a regular file (a symbolic link, a FIFO, a socket, a device) is removed first and
  // never opened or followed, and a regular file with other hard links is replaced rather than
  // cut: only the path itself changes. (Windows: as Create.)
  static std::unique_ptr<TFileStream> CreateEntry(const std::string& path);
  // The same for `relative`, an archive-style path below `folder` (empty: the current folder),
  // reached without following a symbolic link on the way: a link where a folder of the path
  // should be is refused, never entered. With make_folders, missing folders on the way are made.
  // `relative` must not hold ".." segments. Raises EFCreateError, or EInOutError when a folder
  // cannot be made. A walk given keeps the folders open for the next call with the same folder.
  // With only_new, whatever already has the name is left alone and the answer is null.
  static std::unique_ptr<TFileStream> CreateEntryBelow(const std::string& folder,
                                                       const std::string& relative,
                                                       bool make_folders,
                                                       TFolderWalk* walk = nullptr,
                                                       bool only_new = false);

  // Makes a file for an entry as CreateEntryBelow does, but under a passing name beside the
  // entry's place: ".qobz-" and characters drawn from the system's random source, created
  // exclusively (a name found taken is never opened: another is drawn), mode 0600 until the
  // attributes are set (platform::SetAttributes gives it the mode of a new file then). Commit
  // gives it the entry's name.
  static std::unique_ptr<TFileStream> CreatePassingBelow(const std::string& folder,
                                                         const std::string& relative,
                                                         bool make_folders, TFolderWalk* walk);

  ~TFileStream() override;  // closes the file; a file not kept is no longer removed on a signal
  // Renames a file made by CreatePassingBelow to its entry's name, in the folder it was made in
  // (held since: never a path looked up again), replacing a file of that name. False on failure.
  bool Commit();
  // Removes the file by the name it has in the folder it was made in (a file made by path: by
  // its path); closes it first. False on failure.
  bool Remove();
  // The file is complete under its final name: a signal no longer removes it.
  void Keep();
  // Whether the file still has a passing name (made by CreatePassingBelow, not yet committed).
  bool Passing() const { return !final_name_.empty(); }
  int32_t Read(void* buffer, int32_t count) override;
  void WriteBuffer(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override;

  // The native handle (a file descriptor or a Windows HANDLE), for the platform layer.
  intptr_t Handle() const { return handle_; }
  const std::string& Path() const { return path_; }
  // Closes the file now; later calls fail. Safe to call twice.
  void Close();

  // Creates a new, empty file in folder (empty: the current folder) named prefix followed by
  // random characters drawn from the system's random source, for reading and writing, mode 0600
  // (only its owner may open it). Exclusive: whatever already has the name drawn (a file, a link)
  // is never opened; another name is drawn. Path() answers the file's path. Raises EFCreateError
  // naming the folder and the reason.
  static std::unique_ptr<TFileStream> CreateUnique(const std::string& folder,
                                                   const std::string& prefix);

 private:
  TFileStream(intptr_t handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  enum class TMake { Replace, OnlyNew, Passing };
  // The walk of CreateEntryBelow and CreatePassingBelow; `make` picks the kind of file made.
  static std::unique_ptr<TFileStream> CreateBelowHeld(const std::string& folder,
                                                      const std::string& relative,
                                                      bool make_folders, TFolderWalk* walk,
                                                      TMake make);
  // Keeps the folder the file was made in and its name there, and has a signal remove it.
  void HoldFolder(std::shared_ptr<platform::THeldFolder> folder, std::string name);
  intptr_t handle_;
  std::shared_ptr<platform::THeldFolder> folder_;  // where the file was made (null: by path)
  std::string name_;                               // its name in folder_
  std::string final_name_;                         // the name Commit gives it
  int removal_slot_ = -1;                          // armed for removal on a signal
  // POSIX: the file position once a seek has told it (-1: not known), so that asking for the
  // position costs no system call; an archive walk asks for it several times per entry.
  int64_t position_ = -1;
  std::string path_;
};

// The one way a finished result replaces a file: it is written under a passing name beside
// `path` (".qobz-" and characters from the system's random source, created exclusively, 0600,
// never through a link), and Commit gives it the access of what it replaces (never more open) and
// renames it over `path` in the folder held since it was made. Until then nothing at `path` is
// touched, and a failure, the destructor or a signal removes the passing file.
class TReplacingFile {
 public:
  // Raises EFCreateError naming `path` and the reason.
  explicit TReplacingFile(const std::string& path);
  ~TReplacingFile();
  TReplacingFile(const TReplacingFile&) = delete;
  TReplacingFile& operator=(const TReplacingFile&) = delete;
  TFileStream& Stream() { return *stream_; }
  // Closes the file and puts it in place; raises EWriteError naming `path` and the reason.
  void Commit();

 private:
  std::string path_;
  std::unique_ptr<TFileStream> stream_;  // null once committed
};

}  // namespace qobz
