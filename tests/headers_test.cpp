// Archive and entry headers at the level of the reading operations: the worked 54-byte archive,
// empty archives, validation order and messages, method identifiers and OnRecognize, short entry
// headers, and the packed little-endian layout.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qobz/compress.h"
#include "tests/support/recording_stream.h"

namespace qobz {
namespace {

using Bytes = std::vector<uint8_t>;
using test::RecordingStream;

const Bytes kArchiveHead = {0x51, 0x4F, 0x42, 0x5A, 0x1A, 0x4E, 0x4F, 0x4E, 0x03, 0x00, 0x00,
                            0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kEntryHead = {0x05, 0x00, 0x78, 0x99, 0x85, 0x31, 0x20, 0x00, 0x03,
                          0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x26,
                          0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kNameAndData = {0x41, 0x2E, 0x54, 0x58, 0x54, 0x61, 0x62, 0x63};

Bytes WorkedExample() {
  Bytes a = kArchiveHead;
  a.insert(a.end(), kEntryHead.begin(), kEntryHead.end());
  a.insert(a.end(), kNameAndData.begin(), kNameAndData.end());
  return a;
}

// A valid archive header with the given identifier and type.
Bytes ArchiveHead(const char* id, uint8_t type = 1) {
  Bytes h = kArchiveHead;
  std::copy(id, id + 3, h.begin() + 5);
  h[12] = type;
  return h;
}

TEST(Headers, WorkedExampleReadsAsATxt) {
  Bytes archive = WorkedExample();
  ASSERT_EQ(archive.size(), 54u);
  TMemoryStream s(archive);
  TCompress c;
  TArchiveHeader ah;
  std::string id;
  c.ReadArchiveHeader(s, ah, id);
  EXPECT_EQ(id, "NON");
  EXPECT_EQ(ah.TotalSize, 3);
  EXPECT_EQ(ah.ArchiveType, caMulti);
  EXPECT_EQ(s.Position(), 21);

  TEntryHeader eh;
  std::string name;
  ASSERT_TRUE(c.ReadEntryHeader(s, eh, name));
  EXPECT_EQ(name, "A.TXT");
  EXPECT_EQ(eh.NameLength, 5);
  EXPECT_EQ(eh.UnpackedSize, 3);
  EXPECT_EQ(eh.PackedSize, 3);
  EXPECT_EQ(eh.Method, kMethodStored);
  EXPECT_EQ(eh.Checksum, 294u);
  EXPECT_EQ(eh.KeyLock, 0);
  EXPECT_EQ(eh.FileAttr, 0x20);
  EXPECT_EQ(eh.FileDate, 0x31859978u);  // 5 December 2004 19:11:48
  EXPECT_EQ(eh.FileDate >> 25, 2004u - 1980);
  EXPECT_EQ((eh.FileDate >> 21) & 0xF, 12u);
  EXPECT_EQ((eh.FileDate >> 16) & 0x1F, 5u);
  EXPECT_EQ((eh.FileDate >> 11) & 0x1F, 19u);
  EXPECT_EQ((eh.FileDate >> 5) & 0x3F, 11u);
  EXPECT_EQ((eh.FileDate & 0x1F) * 2, 48u);
  EXPECT_EQ(s.Position(), 51);  // the packed data come next

  // Reading the packed bytes through the driver gives the checksum the header promises.
  TMemoryStream out;
  uint32_t sum = 0;
  c.RunCodec(out, s, eh.PackedSize, eh.UnpackedSize, eh.Method, sum, true, false);
  EXPECT_EQ(out.Data(), (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(sum, eh.Checksum);
  EXPECT_FALSE(c.ReadEntryHeader(s, eh, name));  // the end of the stream ends the archive
}

TEST(Headers, EncodeGivesThePackedLittleEndianLayout) {
  TArchiveHeader ah;
  std::copy(kSignature, kSignature + 5, ah.Signature);
  std::copy("NON", "NON" + 3, ah.CompressID);
  ah.TotalSize = 3;
  ah.ArchiveType = caMulti;
  uint8_t raw[kArchiveHeaderSize];
  ah.Encode(raw);
  EXPECT_EQ(Bytes(raw, raw + kArchiveHeaderSize), kArchiveHead);

  TEntryHeader eh = TEntryHeader::Decode(kEntryHead.data());
  uint8_t eraw[kEntryHeaderSize];
  eh.Encode(eraw);
  EXPECT_EQ(Bytes(eraw, eraw + kEntryHeaderSize), kEntryHead);

  // Every multi-byte field at its offset, least significant byte first; signed fields keep sign.
  TEntryHeader f;
  f.NameLength = -2;
  f.FileDate = 0x04030201;
  f.FileAttr = 0x0605;
  f.UnpackedSize = 0x0A090807;
  f.PackedSize = -1;
  f.Method = 0x0B;
  f.Checksum = 0x0F0E0D0C;
  f.KeyLock = static_cast<int32_t>(0x80000010u);
  f.Encode(eraw);
  EXPECT_EQ(Bytes(eraw, eraw + kEntryHeaderSize),
            (Bytes{0xFE, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0xFF,
                   0xFF, 0xFF, 0xFF, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x00, 0x00, 0x80}));
  TEntryHeader g = TEntryHeader::Decode(eraw);
  EXPECT_EQ(g.NameLength, -2);
  EXPECT_EQ(g.PackedSize, -1);
  EXPECT_EQ(g.KeyLock, static_cast<int32_t>(0x80000010u));
  EXPECT_EQ(g.UnpackedSize, 0x0A090807);
}

TEST(ReadArchiveHeader, FewerThan21BytesIsAnEmptyArchive) {
  for (size_t n = 0; n <= 20; ++n) {
    Bytes junk(kArchiveHead.begin(), kArchiveHead.begin() + static_cast<ptrdiff_t>(n));
    RecordingStream s(junk);
    TCompress c;
    TArchiveHeader h;
    std::string id = "old";
    EXPECT_NO_THROW(c.ReadArchiveHeader(s, h, id)) << n;
    EXPECT_TRUE(s.read_requests.empty()) << n;
    EXPECT_EQ(s.Position(), 0) << n;
    EXPECT_EQ(h.ArchiveType, caMulti);
    EXPECT_EQ(h.TotalSize, 0);
    EXPECT_EQ(Bytes(h.Signature, h.Signature + 5), Bytes(kSignature, kSignature + 5));
  }
  // 20 bytes left, none left, and a position past the end.
  for (int64_t pos : {int64_t{20}, int64_t{40}, int64_t{1000}}) {
    Bytes full = kArchiveHead;
    full.resize(40, 0);
    RecordingStream s(full);
    s.Seek(pos, SeekOrigin::Begin);
    TCompress c;
    TArchiveHeader h;
    std::string id;
    EXPECT_NO_THROW(c.ReadArchiveHeader(s, h, id)) << pos;
    EXPECT_TRUE(s.read_requests.empty()) << pos;
  }
}

TEST(ReadArchiveHeader, Exactly21BytesIsAnArchiveWithoutEntries) {
  TMemoryStream s(kArchiveHead);
  TCompress c;
  TArchiveHeader h;
  std::string id;
  c.ReadArchiveHeader(s, h, id);
  EXPECT_EQ(id, "NON");
  TEntryHeader e;
  std::string name;
  EXPECT_FALSE(c.ReadEntryHeader(s, e, name));
}

TEST(ReadArchiveHeader, ValidationOrderAndMessages) {
  TCompress c;
  TArchiveHeader h;
  std::string id;
  auto read = [&](const Bytes& raw) {
    TMemoryStream s(raw);
    try {
      c.ReadArchiveHeader(s, h, id);
    } catch (...) {
      EXPECT_EQ(s.Position(), 21);  // the header's bytes are consumed either way
      throw;
    }
  };
  for (size_t i = 0; i < 5; ++i) {
    Bytes bad = kArchiveHead;
    bad[i] ^= 0x20;  // "qOBZ", "QoBZ", ... and 0x3A for the end-of-file byte
    try {
      read(bad);
      FAIL() << i;
    } catch (const EInvalidHeader& e) {
      EXPECT_EQ(e.Message(), "Can't recognize compressed file header");
    }
  }
  for (uint8_t type : {0, 2, 255}) {
    try {
      read(ArchiveHead("NON", type));
      FAIL() << int(type);
    } catch (const EInvalidHeaderArchiveType& e) {
      EXPECT_EQ(e.Message(), "Archive type must be caMulti");
    }
  }
  // The signature is checked before the type, and the type before the identifier.
  Bytes both = ArchiveHead("xyz", 0);
  both[0] = 'X';
  EXPECT_THROW(read(both), EInvalidHeader);
  EXPECT_THROW(read(ArchiveHead("xyz", 0)), EInvalidHeaderArchiveType);
  try {
    read(ArchiveHead("lh5"));
    FAIL();
  } catch (const EUnrecognizedCompressionMethod& e) {
    EXPECT_EQ(e.Message(), "Unrecognized compression method: \"lh5\" in header");
  }
  // Reserved word, KeyLock and TotalSize are not looked at.
  Bytes odd = ArchiveHead("LH5");
  for (size_t i = 8; i < 12; ++i) odd[i] = 0xFF;
  for (size_t i = 13; i < 21; ++i) odd[i] = 0xA7;
  EXPECT_NO_THROW(read(odd));
  EXPECT_EQ(id, "LH5");
  EXPECT_EQ(h.TotalSize, -1);
}

TEST(RecognizeMethod, IdentifiersInTheirOrder) {
  TCompress c;
  int calls = 0;
  c.OnRecognize = [&](const std::string&, bool&) { ++calls; };
  const char* ids[] = {"NON", "RLE", "LZH", "CUS", "LH5"};
  for (uint8_t code = 0; code < 5; ++code) EXPECT_EQ(c.RecognizeMethod(ids[code]), code);
  EXPECT_EQ(calls, 0);  // "CUS" included: known identifiers never ask the application
  for (const char* unknown : {"lh5", "Non", "LH6", "   ", "CU"}) {
    EXPECT_THROW(c.RecognizeMethod(unknown), EUnrecognizedCompressionMethod) << unknown;
  }
  EXPECT_EQ(calls, 5);
}

TEST(RecognizeMethod, ApplicationMayAcceptAnIdentifierAsCustom) {
  TCompress c;
  std::vector<std::string> asked;
  c.OnRecognize = [&](const std::string& id, bool& recognized) {
    EXPECT_FALSE(recognized);  // handed over as false
    asked.push_back(id);
    recognized = id == "ZIP";
  };
  EXPECT_EQ(c.RecognizeMethod("ZIP"), kMethodCustom);
  EXPECT_THROW(c.RecognizeMethod("ARJ"), EUnrecognizedCompressionMethod);
  EXPECT_EQ(asked, (std::vector<std::string>{"ZIP", "ARJ"}));

  // Through the archive header: accepted identifiers read without error.
  TMemoryStream s(ArchiveHead("ZIP"));
  TArchiveHeader h;
  std::string id;
  EXPECT_NO_THROW(c.ReadArchiveHeader(s, h, id));
  EXPECT_EQ(id, "ZIP");
}

TEST(InitArchiveHeader, KeyLockFollowsThePositiveKey) {
  TCompress c;
  TArchiveHeader h;
  for (int32_t key : {0, -5, 1, 2147483647, static_cast<int32_t>(0x80000000u)}) {
    c.Key = key;
    c.InitArchiveHeader(h, "LH5", caMulti, 1234);
    EXPECT_EQ(h.KeyLock, key > 0 ? 2 : 0) << key;
    EXPECT_EQ(std::string(h.CompressID, 3), "LH5");
    EXPECT_EQ(h.TotalSize, 1234);
    EXPECT_EQ(h.Reserved, 0u);
    EXPECT_EQ(h.ArchiveType, caMulti);
    EXPECT_EQ(Bytes(h.Signature, h.Signature + 5), Bytes(kSignature, kSignature + 5));
  }
}

TEST(ReadEntryHeader, ShortHeadersAndNamesEndTheArchive) {
  TCompress c;
  TEntryHeader h;
  std::string name;
  Bytes entry = kEntryHead;
  entry.insert(entry.end(), kNameAndData.begin(), kNameAndData.begin() + 5);
  for (size_t n = 0; n < entry.size(); ++n) {
    TMemoryStream s(Bytes(entry.begin(), entry.begin() + static_cast<ptrdiff_t>(n)));
    EXPECT_FALSE(c.ReadEntryHeader(s, h, name)) << n;
  }
  TMemoryStream whole(entry);
  EXPECT_TRUE(c.ReadEntryHeader(whole, h, name));
  EXPECT_EQ(name, "A.TXT");
}

TEST(ReadEntryHeader, NegativeAndZeroNameLengths) {
  TCompress c;
  TEntryHeader h;
  std::string name = "left over";
  Bytes negative = kEntryHead;
  negative[0] = 0xFF;
  negative[1] = 0xFF;  // -1
  negative.insert(negative.end(), 10, 'x');
  RecordingStream s(negative);
  EXPECT_FALSE(c.ReadEntryHeader(s, h, name));
  EXPECT_EQ(s.read_requests, std::vector<int32_t>{25});  // the name is not read

  Bytes empty_name = kEntryHead;
  empty_name[0] = 0;
  TMemoryStream z(empty_name);
  EXPECT_TRUE(c.ReadEntryHeader(z, h, name));
  EXPECT_EQ(name, "");
  EXPECT_EQ(h.NameLength, 0);
}

}  // namespace
}  // namespace qobz
