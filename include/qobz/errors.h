// Exception classes of the archive component and of the stream layer beneath it.
//
// Every failure inside the component is raised as one of these; the launcher catches them at its
// exported C function. Messages of the component's own classes are fixed texts that applications
// may show or compare.
#pragma once

#include <exception>
#include <string>

namespace qobz {

// Root of every exception this library raises.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

#define QOBZ_FIXED_MESSAGE_ERROR(Name, Text)   \
  class Name : public Exception {              \
   public:                                     \
    static constexpr const char* kText = Text; \
    Name() : Exception(kText) {}               \
  }

QOBZ_FIXED_MESSAGE_ERROR(ELZHBadDecodeTable, "Bad decode table in archive!");
QOBZ_FIXED_MESSAGE_ERROR(EUnableToCompress, "Could not compress data, will store instead");
QOBZ_FIXED_MESSAGE_ERROR(EInvalidHeaderArchiveType, "Archive type must be caMulti");
QOBZ_FIXED_MESSAGE_ERROR(EInvalidHeader, "Can't recognize compressed file header");
QOBZ_FIXED_MESSAGE_ERROR(EBadChecksum, "Bad checksum during expansion -- data may be invalid");
QOBZ_FIXED_MESSAGE_ERROR(EInvalidKey, "File locked -- valid key required");
// The application's progress handler cancelled the work (answered -1).
QOBZ_FIXED_MESSAGE_ERROR(ECancelled, "Cancelled");

#undef QOBZ_FIXED_MESSAGE_ERROR

class EInsufficientDiskSpace : public Exception {
 public:
  explicit EInsufficientDiskSpace(const std::string& path)
      : Exception("Not enough disk space to expand " + path) {}
};

class EUnrecognizedCompressionMethod : public Exception {
 public:
  explicit EUnrecognizedCompressionMethod(const std::string& id)
      : Exception("Unrecognized compression method: \"" + id + "\" in header") {}
};

// File and stream layer. Their messages name the path and the system's reason.
class EFCreateError : public Exception {
 public:
  using Exception::Exception;
};
class EFOpenError : public Exception {
 public:
  using Exception::Exception;
};
class EInOutError : public Exception {
 public:
  using Exception::Exception;
};
class EWriteError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace qobz
