// TCompress: the archive component. It expands QOBZ archives from a stream into files, running
// each entry through the codec driver, and checks locks and checksums on the way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qobz/codec_run.h"
#include "qobz/errors.h"
#include "qobz/headers.h"
#include "qobz/stream.h"

namespace qobz {

struct TCompThreadSafety;

enum TCProcessMode : uint8_t { pmCompress = 0, pmExpand = 1 };

// Events. None has a sender argument; reference parameters are read back by the component.
using TFilenameCheckEvent = std::function<void(std::string& filepath, TCProcessMode mode)>;
using TCompressEvent = std::function<void(TStream& dest, TStream& source, std::string& CompressID,
                                          int32_t& Outputsize, int32_t& checksum)>;
using TExpandEvent =
    std::function<void(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize,
                       const std::string& CompressID, int32_t& checksum)>;
using TRecognizeEvent = std::function<void(const std::string& CompressID, bool& recognized)>;

using TStringList = std::vector<std::string>;

class TCompress {
 public:
  TCompress();
  ~TCompress();
  TCompress(const TCompress&) = delete;
  TCompress& operator=(const TCompress&) = delete;

  // Events.
  TCompressEvent OnCompress;  // slot for a custom compressor; nothing here calls it
  TExpandEvent OnExpand;      // expands entries of the custom method
  TRecognizeEvent OnRecognize;
  TFilenameCheckEvent OnCheckFile;
  TShowProgressEvent OnShowProgress;

  // Properties.
  bool MakeDirectories = false;
  bool ExceptionOnFileError = false;
  int32_t Key = 0;
  bool CheckSpaceBeforeExpand = false;

  const std::string& TargetPath() const { return target_path_; }
  // Stores the folder with a trailing backslash; an empty value stays empty.
  void SetTargetPath(const std::string& value);

  // Expands the archive at the stream's position into files below TargetPath. With a FileList,
  // only entries whose stored names it holds (ASCII letters compared without case) are written,
  // and after a normal end the list holds the destination paths of the files written. Entries
  // are stepped through with TArchiveReader (qobz/archive_reader.h), so each entry header is read
  // where the previous entry's packed data end, and each file is made with
  // TFileStream::CreateEntry (a link or FIFO at its name is replaced, never followed). Written,
  // when given, receives the same list of files written after a normal end, with or without a
  // selection: a caller that expands every entry still learns which files this call made (an
  // entry whose file could not be created, or that OnCheckFile passed over, is not in it).
  void ExpandStreamToFiles(TStream& Source, TStringList* FileList = nullptr,
                           TStringList* Written = nullptr);

  // Steps of the expansion, public for applications and tests.
  void ReadArchiveHeader(TStream& Source, TArchiveHeader& Header, std::string& CompressID);
  void InitArchiveHeader(TArchiveHeader& Header, const std::string& CompressID, uint8_t ArchiveType,
                         int32_t TotalSize) const;
  uint8_t RecognizeMethod(const std::string& CompressID);
  bool ReadEntryHeader(TStream& Source, TEntryHeader& Header, std::string& FileName);
  // Expands one entry's packed data from Source into Dest and checks its lock and checksum. An
  // unknown method code raises EInvalidHeader before anything is read or written. A built-in
  // method never passes UnpackedSize bytes to Dest: output beyond it, or a stored entry whose two
  // sizes differ, raises EBadChecksum (EInvalidKey for a locked entry). Source is left wherever
  // the method stopped reading; TArchiveReader moves on to the next entry.
  void ExpandEntry(TStream& Dest, TStream& Source, int32_t PackedSize, int32_t UnpackedSize,
                   uint32_t Checksum, uint8_t Method, const std::string& CompressID,
                   int32_t KeyLock);
  int32_t SpaceAvailableFor(const std::string& Path);
  float DiskFreeBytes(int Drive, const std::string& NearPath = std::string());
  void MakeFolderPath(const std::string& Folder);
  static bool FolderExists(const std::string& Path);
  static bool IsFileSelected(const TStringList& FileList, const std::string& Name);

  // The codec driver: runs Source's InputSize bytes through the method's routine, expanding
  // (UnpackedSize tells the decoders that stop at a size where to stop) or packing, as Options
  // say. Neither the component's Key nor its OnShowProgress take part: Options carry both.
  TCodecResult Run(TStream& Dest, TStream& Source, int32_t InputSize, int32_t UnpackedSize,
                   uint8_t Method, bool Expanding, const TCodecOptions& Options);

  // Run with the component's Key and OnShowProgress (version 1 calls). RunCodec limits packed
  // data to the input's size; it returns the bytes written when compressing, 0 when the progress
  // handler cancels at once.
  int32_t RunCodec(TStream& Dest, TStream& Source, int32_t InputSize, int32_t UnpackedSize,
                   uint8_t Method, uint32_t& Checksum, bool Expanding, bool Scrambled);

  // Compresses a raw stream with no bound on its packed size (RunCodec refuses to let packed data
  // outgrow its input). For tools that carry streams outside archives. Best packs LH5 with the
  // slower encoder that makes smaller streams.
  int32_t EncodeStream(TStream& Dest, TStream& Source, int32_t InputSize, uint8_t Method,
                       uint32_t& Checksum, bool Best = false);

  TCompThreadSafety& CodecState() { return *codec_state_; }

 private:
  friend class TArchiveReader;
  // Checks the 21 bytes of an archive header as ReadArchiveHeader does, and fills its results.
  void DecodeArchiveHeader(const uint8_t* raw, TArchiveHeader& Header, std::string& CompressID);

  std::string target_path_;
  std::unique_ptr<TCompThreadSafety> codec_state_;
};

}  // namespace qobz
