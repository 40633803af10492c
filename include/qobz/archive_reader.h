// TArchiveReader: one walk over the entries of an archive, shared by every reader of archives.
//
// The component's ExpandStreamToFiles and the tool's list, test and extract commands all step
// through an archive with this class, so they cannot disagree on which entries it holds:
//
//   TArchiveReader reader(compress, source);       // reads and checks the archive header
//   while (reader.Next()) {                          // reads the next entry header and name
//     if (wanted(reader.Name())) reader.Extract(dest); else reader.Skip();
//   }
//
// Where the next entry header is read: always at the current entry's first packed byte plus its
// PackedSize, whatever the entry's decoder (or an OnExpand handler) consumed. A source that can
// seek is repositioned there; on one that cannot (a pipe) the rest of the entry is read and
// dropped. A decoder that stops early, a custom entry nobody expands, or packed bytes that a
// damaged entry leaves unread are thus never taken for further entries.
//
// Where the walk ends (Next() answers false): at the end of the source, or once the entries handed
// out so far add up to the archive header's TotalSize (the next header is read first, as the
// component always has). An entry header or name cut short by the end of the source also ends the
// walk quietly; EndReason() tells the cases apart for callers that are stricter than the
// component (the tool refuses a truncated archive).
//
// Refusals: the archive header raises as TCompress::ReadArchiveHeader does; an entry with a
// negative size raises EInvalidHeader from Next() (no entry follows it). An entry of an unknown
// method code (above 4) is handed out like any other, so that it can be listed or passed over by
// its PackedSize; only expanding it raises EInvalidHeader (CheckMethod, Extract and Test), before
// anything is read or written for it. Extract and Test raise as TCompress::ExpandEntry does.
#pragma once

#include <cstdint>
#include <string>

#include "qobz/compress.h"
#include "qobz/headers.h"
#include "qobz/stream.h"

namespace qobz {

// True when a stored name leads out of any target folder: it starts with a backslash or a slash,
// or, on Windows only, with a drive ("C:"). On POSIX a colon is an ordinary character of a name.
bool IsAbsoluteName(const std::string& name);

class TArchiveReader {
 public:
  // How the walk ended, once Next() has answered false.
  enum class TEnd {
    NotYet,        // Next() has not answered false yet
    TotalReached,  // the entries handed out add up to (or past) the header's TotalSize
    EndOfStream,   // the source ended where an entry header would start
    CutShort,      // the source ended inside an entry header or its name, or NameLength < 0
    Refused,       // Next() raised EInvalidHeader for the entry header it read; no entry follows
  };

  // Reads and checks the archive header at the source's position with the component's settings
  // (its OnRecognize for unknown identifiers; its Key, OnExpand and OnShowProgress later for the
  // entries). A source with fewer than 21 bytes left is an empty archive: no exception, HasHeader()
  // false, and Next() answers false at once. The component and the source must outlive the reader.
  TArchiveReader(TCompress& compress, TStream& source);
  TArchiveReader(const TArchiveReader&) = delete;
  TArchiveReader& operator=(const TArchiveReader&) = delete;

  // False when the source held fewer than 21 bytes (an empty archive, or no archive at all).
  bool HasHeader() const { return has_header_; }
  const TArchiveHeader& Header() const { return header_; }
  // The archive's three-letter identifier; empty without a header.
  const std::string& CompressID() const { return compress_id_; }

  // Moves to the next entry and reads its header and name. An entry still current is skipped
  // first (and counted toward the total, as Skip() does). Answers false at the end of the walk.
  bool Next();

  // The current entry, valid after Next() answered true.
  const TEntryHeader& Entry() const { return entry_; }
  const std::string& Name() const { return name_; }
  // Stream position of the current entry's first packed byte; -1 on a source that cannot seek.
  int64_t PackedOffset() const { return start_; }
  // Raises EInvalidHeader when the current entry's method code is unknown, as Extract would.
  // Whoever makes a file or folders for an entry asks first: such an entry leaves nothing behind.
  void CheckMethod() const;

  // Expands the current entry into dest (a file, a memory stream, any stream) through the codec
  // driver or the component's OnExpand handler, and checks its lock and checksum; raises as
  // TCompress::ExpandEntry does. Answers the number of bytes written to dest. On success the walk
  // moves past the entry and counts it. After an exception the entry stays current and the source
  // stands wherever the failure left it: Skip() (or Next()) then moves past it.
  int64_t Extract(TStream& dest);
  // Extract into a file just made for the entry (TFileStream::CreateEntryBelow, CreateEntry or
  // Create), finished as the component finishes its files: on success the file gets the entry's
  // stored date and attributes, both set through the open file, and is closed; after EInvalidKey
  // it is closed and deleted; after any other failure it is closed with its attributes and stays,
  // partly written. Failures to set the date or the attributes are ignored.
  int64_t ExtractToFile(TFileStream& file);
  // Extract into a stream that only counts: checks the entry without writing it anywhere.
  int64_t Test();
  // Moves past the current entry without reading its packed data. counted false leaves it out of
  // the running total, as the component does for an entry whose destination was refused.
  void Skip(bool counted = true);

  // Moves the walk to an entry found by an earlier walk of the same archive on a source that can
  // seek: the next Next() reads the entry header at header_position (in the source's positions)
  // with `done` counted before it, as the earlier walk had. Lets several readers, each on its own
  // source and component, share out the entries of one archive.
  void MoveTo(int64_t header_position, int64_t done);

  // The sum of UnpackedSize over the entries counted so far (64-bit: never wraps).
  int64_t Done() const { return done_; }
  TEnd EndReason() const { return end_; }

 private:
  void MovePastEntry();

  TCompress& compress_;
  TStream& source_;
  TArchiveHeader header_;
  std::string compress_id_;
  bool has_header_ = false;
  TEntryHeader entry_;
  std::string name_;
  bool current_ = false;    // an entry has been read and not yet moved past
  bool attempted_ = false;  // Extract has started on it
  int64_t start_ = -1;      // position of its first packed byte, -1 when the source cannot seek
  int64_t consumed_ = 0;    // packed bytes read by Extract, for a source that cannot seek
  int64_t done_ = 0;
  TEnd end_ = TEnd::NotYet;
};

}  // namespace qobz
