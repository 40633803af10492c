// Reading and validating archive and entry headers; method identifiers.
#include <cstring>

#include "qobz/compress.h"
#include "qobz/methods.h"

namespace qobz {

namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

void TArchiveHeader::Encode(uint8_t out[kArchiveHeaderSize]) const {
  std::memcpy(out, Signature, 5);
  std::memcpy(out + 5, CompressID, 3);
  Put32(out + 8, static_cast<uint32_t>(TotalSize));
  out[12] = ArchiveType;
  Put32(out + 13, Reserved);
  Put32(out + 17, static_cast<uint32_t>(KeyLock));
}

TArchiveHeader TArchiveHeader::Decode(const uint8_t in[kArchiveHeaderSize]) {
  TArchiveHeader h;
  std::memcpy(h.Signature, in, 5);
  std::memcpy(h.CompressID, in + 5, 3);
  h.TotalSize = static_cast<int32_t>(Get32(in + 8));
  h.ArchiveType = in[12];
  h.Reserved = Get32(in + 13);
  h.KeyLock = static_cast<int32_t>(Get32(in + 17));
  return h;
}

void TEntryHeader::Encode(uint8_t out[kEntryHeaderSize]) const {
  Put16(out, static_cast<uint16_t>(NameLength));
  Put32(out + 2, FileDate);
  Put16(out + 6, FileAttr);
  Put32(out + 8, static_cast<uint32_t>(UnpackedSize));
  Put32(out + 12, static_cast<uint32_t>(PackedSize));
  out[16] = Method;
  Put32(out + 17, Checksum);
  Put32(out + 21, static_cast<uint32_t>(KeyLock));
}

TEntryHeader TEntryHeader::Decode(const uint8_t in[kEntryHeaderSize]) {
  TEntryHeader h;
  h.NameLength = static_cast<int16_t>(Get16(in));
  h.FileDate = Get32(in + 2);
  h.FileAttr = Get16(in + 6);
  h.UnpackedSize = static_cast<int32_t>(Get32(in + 8));
  h.PackedSize = static_cast<int32_t>(Get32(in + 12));
  h.Method = in[16];
  h.Checksum = Get32(in + 17);
  h.KeyLock = static_cast<int32_t>(Get32(in + 21));
  return h;
}

void TCompress::ReadArchiveHeader(TStream& Source, TArchiveHeader& Header,
                                  std::string& CompressID) {
  // Fewer than a header's bytes left (a position past the end counts as none) is an empty archive.
  int64_t left = Source.Size() - Source.Position();
  if (left < kArchiveHeaderSize) {
    InitArchiveHeader(Header, "", caMulti, 0);
    return;
  }
  uint8_t raw[kArchiveHeaderSize];
  if (Source.Read(raw, kArchiveHeaderSize) != kArchiveHeaderSize) throw EInvalidHeader();
  DecodeArchiveHeader(raw, Header, CompressID);
}

void TCompress::DecodeArchiveHeader(const uint8_t* raw, TArchiveHeader& Header,
                                    std::string& CompressID) {
  Header = TArchiveHeader::Decode(raw);
  if (std::memcmp(Header.Signature, kSignature, 5) != 0) throw EInvalidHeader();
  if (Header.ArchiveType != caMulti) throw EInvalidHeaderArchiveType();
  CompressID.assign(Header.CompressID, 3);
  RecognizeMethod(CompressID);
}

void TCompress::InitArchiveHeader(TArchiveHeader& Header, const std::string& CompressID,
                                  uint8_t ArchiveType, int32_t TotalSize) const {
  Header = TArchiveHeader();
  std::memcpy(Header.Signature, kSignature, 5);
  for (size_t i = 0; i < 3; ++i) Header.CompressID[i] = i < CompressID.size() ? CompressID[i] : 0;
  Header.TotalSize = TotalSize;
  Header.ArchiveType = ArchiveType;
  Header.Reserved = 0;
  Header.KeyLock = Key > 0 ? 2 : 0;
}

uint8_t TCompress::RecognizeMethod(const std::string& CompressID) {
  if (const TMethodInfo* method = FindMethodById(CompressID)) return method->Code;
  if (OnRecognize) {
    bool recognized = false;
    OnRecognize(CompressID, recognized);
    if (recognized) return kMethodCustom;  // the application's method, whatever its identifier
  }
  throw EUnrecognizedCompressionMethod(CompressID);
}

bool TCompress::ReadEntryHeader(TStream& Source, TEntryHeader& Header, std::string& FileName) {
  uint8_t raw[kEntryHeaderSize];
  if (Source.Read(raw, kEntryHeaderSize) != kEntryHeaderSize) return false;
  Header = TEntryHeader::Decode(raw);
  if (Header.NameLength < 0) return false;
  FileName.assign(static_cast<size_t>(Header.NameLength), '\0');
  if (Header.NameLength == 0) return true;
  return Source.Read(FileName.data(), Header.NameLength) == Header.NameLength;
}

}  // namespace qobz
