// Expansion of archives into files: selection, OnCheckFile, free space, folders, locks,
// checksums, and what each failure leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "qobz/archive_reader.h"
#include "qobz/compress.h"
#include "support/archive_builder.h"

namespace qobz {
namespace {

using test::BuildArchive;
using test::Bytes;
using test::RawEntry;
using test::ReadFile;
using test::ScratchDir;
namespace fs = std::filesystem;

class ExpandTest : public ::testing::Test {
 protected:
  ExpandTest() { compress.SetTargetPath(dir.Target()); }

  void Expand(const std::vector<uint8_t>& archive, TStringList* list = nullptr,
              TStringList* written = nullptr) {
    TMemoryStream source(archive);
    compress.ExpandStreamToFiles(source, list, written);
  }
  bool Exists(const std::string& name) { return fs::exists(dir / name); }

  ScratchDir dir;
  TCompress compress;
};

TEST_F(ExpandTest, WorkedExampleGivesAbcWithDateAndAttributes) {
  const std::vector<uint8_t> archive = {
      0x51, 0x4F, 0x42, 0x5A, 0x1A, 0x4E, 0x4F, 0x4E, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x78, 0x99, 0x85, 0x31, 0x20,
      0x00, 0x03, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x26, 0x01, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x41, 0x2E, 0x54, 0x58, 0x54, 0x61, 0x62, 0x63};
  ASSERT_EQ(archive.size(), 54u);
  TStringList list = {"a.txt"};
  Expand(archive, &list);
  EXPECT_EQ(ReadFile(dir / "A.TXT"), Bytes("abc"));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], dir.Target() + "A.TXT");
  struct stat st;
  ASSERT_EQ(stat((dir / "A.TXT").c_str(), &st), 0);
  struct tm t;
  localtime_r(&st.st_mtime, &t);
  EXPECT_EQ(t.tm_year + 1900, 2004);
  EXPECT_EQ(t.tm_mon + 1, 12);
  EXPECT_EQ(t.tm_mday, 5);
  EXPECT_EQ(t.tm_hour, 19);
  EXPECT_EQ(t.tm_min, 11);
  EXPECT_EQ(t.tm_sec, 48);
  EXPECT_NE(st.st_mode & 0200, 0u);  // the archive bit alone leaves the file writable
}

TEST_F(ExpandTest, ShortStreamIsAnEmptyArchiveAndEmptiesTheList) {
  for (size_t n = 0; n <= 20; ++n) {
    std::vector<uint8_t> junk(n, 0x51);
    TStringList list = {"x"};
    Expand(junk, &list);
    EXPECT_TRUE(list.empty()) << n;
  }
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST_F(ExpandTest, HeaderFailuresWriteNothing) {
  auto good = BuildArchive({{"a", Bytes("abc")}});
  auto bad_sig = good;
  bad_sig[4] = 0x1B;
  EXPECT_THROW(Expand(bad_sig), EInvalidHeader);
  EXPECT_THROW(Expand(BuildArchive({{"a", Bytes("abc")}}, "NON", -1, 0)),
               EInvalidHeaderArchiveType);
  try {
    Expand(BuildArchive({{"a", Bytes("abc")}}, "lh5"));
    FAIL();
  } catch (const EUnrecognizedCompressionMethod& e) {
    EXPECT_EQ(e.Message(), "Unrecognized compression method: \"lh5\" in header");
  }
  EXPECT_TRUE(fs::is_empty(dir.Path()));
  // An identifier accepted by the application is the custom method; "CUS" needs no handler.
  compress.OnRecognize = [](const std::string& id, bool& ok) { ok = id == "lh5"; };
  EXPECT_NO_THROW(Expand(BuildArchive({{"a", Bytes("abc")}}, "lh5")));
  EXPECT_NO_THROW(Expand(BuildArchive({{"b", Bytes("abc")}}, "CUS")));
}

TEST_F(ExpandTest, EmptyFileListSkipsAndCountsEveryEntry) {
  TStringList list;
  Expand(BuildArchive({{"a", Bytes("abc")}, {"b", Bytes("de")}}), &list);
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST_F(ExpandTest, SelectionSkipsPackedBytesAndIgnoresAsciiCase) {
  TStringList list = {"SUB\\B.dat"}, written = {"stale"};
  compress.MakeDirectories = true;
  Expand(BuildArchive({{"a", Bytes("abc")}, {"sub\\b.DAT", Bytes("de")}, {"c", Bytes("f")}}), &list,
         &written);
  EXPECT_FALSE(Exists("a"));
  EXPECT_FALSE(Exists("c"));
  EXPECT_EQ(ReadFile(dir / "sub/b.DAT"), Bytes("de"));
  EXPECT_EQ(list, TStringList{dir.Target() + "sub\\b.DAT"});
  EXPECT_EQ(written, list);
}

TEST_F(ExpandTest, LeadingBackslashIsNotPutBelowTarget) {
  ScratchDir elsewhere;
  std::string name = elsewhere.Target() + "abs.txt";
  Expand(BuildArchive({{name, Bytes("xyz")}}));
  EXPECT_EQ(ReadFile(elsewhere / "abs.txt"), Bytes("xyz"));
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST_F(ExpandTest, CheckFileStarStopsAndEmptySkipsWithoutCounting) {
  int calls = 0;
  compress.OnCheckFile = [&](std::string& path, TCProcessMode mode) {
    EXPECT_EQ(mode, pmExpand);
    if (++calls == 3) path = "*";
  };
  Expand(
      BuildArchive({{"1", Bytes("a")}, {"2", Bytes("b")}, {"3", Bytes("c")}, {"4", Bytes("d")}}));
  EXPECT_TRUE(Exists("1"));
  EXPECT_TRUE(Exists("2"));
  EXPECT_FALSE(Exists("3"));
  EXPECT_FALSE(Exists("4"));

  // A skipped entry is not counted, so the loop reads on to the end of the stream, and an entry
  // past the total still comes out; the changed path is where a file goes.
  ScratchDir other;
  compress.OnCheckFile = [&](std::string& path, TCProcessMode) {
    if (path.ends_with("\\5")) path.clear();
    if (path.ends_with("\\6")) path = other.Target() + "six";
  };
  Expand(BuildArchive({{"5", Bytes("a")}, {"6", Bytes("b")}, {"7", Bytes("c")}}, "NON", 2));
  EXPECT_FALSE(Exists("5"));
  EXPECT_EQ(ReadFile(other / "six"), Bytes("b"));
  EXPECT_TRUE(Exists("7"));
}

TEST_F(ExpandTest, TotalSizeIsComparedAfterEachHeader) {
  Expand(BuildArchive({{"a", Bytes("abc")}, {"empty", {}}}));
  EXPECT_TRUE(Exists("a"));
  EXPECT_FALSE(Exists("empty"));  // Done reached TotalSize before it
  Expand(BuildArchive({{"z1", {}}, {"z2", {}}}));
  EXPECT_FALSE(Exists("z1"));
  Expand(BuildArchive({{"e1", {}}, {"x", Bytes("x")}}));
  EXPECT_TRUE(Exists("e1"));
}

TEST_F(ExpandTest, NegativeSizesAreRefusedBeforeAnythingIsWritten) {
  RawEntry entry{"neg", Bytes("abc")};
  entry.unpacked_size = -5;
  EXPECT_THROW(Expand(BuildArchive({entry}, "NON", 100)), EInvalidHeader);
  auto archive = BuildArchive({{"neg2", Bytes("abc")}});
  archive[kArchiveHeaderSize + 15] = 0x80;  // PackedSize becomes negative
  EXPECT_THROW(Expand(archive), EInvalidHeader);
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST_F(ExpandTest, LockedEntryWithoutKeyIsDeleted) {
  RawEntry entry{"locked", Bytes("abc")};
  entry.key_lock = 1;
  EXPECT_THROW(Expand(BuildArchive({{"first", Bytes("1")}, entry})), EInvalidKey);
  EXPECT_TRUE(Exists("first"));
  EXPECT_FALSE(Exists("locked"));
}

TEST_F(ExpandTest, LockedChecksumIncludesTheKey) {
  RawEntry entry{"locked", Bytes("abc")};
  entry.key_lock = 1;
  entry.checksum = 294 + 1000;
  compress.Key = 1000;
  Expand(BuildArchive({entry}));
  EXPECT_EQ(ReadFile(dir / "locked"), Bytes("abc"));
  compress.Key = 999;
  EXPECT_THROW(Expand(BuildArchive({entry})), EInvalidKey);
  EXPECT_FALSE(Exists("locked"));
}

TEST_F(ExpandTest, ScrambledEntryUnscramblesWithTheKey) {
  const int32_t key = 0x04030201;
  RawEntry entry{"s", {0x61 ^ 1, 0x62 ^ 2, 0x63 ^ 3, 0x64 ^ 4, 0x65 ^ 1}};
  entry.key_lock = 2;
  entry.checksum = 0x61 + 0x62 + 0x63 + 0x64 + 0x65 + key;
  compress.Key = key;
  Expand(BuildArchive({entry}));
  EXPECT_EQ(ReadFile(dir / "s"), Bytes("abcde"));
}

TEST_F(ExpandTest, BadChecksumKeepsFileWithAttributesButNotDate) {
  RawEntry entry{"bad", Bytes("abc")};
  entry.checksum = 295;
  entry.attr = 0x21;  // read-only
  EXPECT_THROW(Expand(BuildArchive({entry})), EBadChecksum);
  EXPECT_EQ(ReadFile(dir / "bad"), Bytes("abc"));
  struct stat st;
  ASSERT_EQ(stat((dir / "bad").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_GT(st.st_mtime, 1500000000);  // not the stored 2004 date
}

TEST_F(ExpandTest, StoredChecksumZeroMeansNoChecksumOnlyForStoredEntries) {
  RawEntry entry{"nosum", Bytes("abc")};
  entry.checksum = 0;
  Expand(BuildArchive({entry}));
  EXPECT_EQ(ReadFile(dir / "nosum"), Bytes("abc"));
}

TEST_F(ExpandTest, CustomEntryWithoutHandler) {
  // Nothing is read, yet the next header is read after the entry's packed bytes: an entry hidden
  // in them is never written.
  RawEntry inner{"inner", Bytes("hi")};
  auto nested = BuildArchive({inner});
  RawEntry custom{"custom",
                  std::vector<uint8_t>(nested.begin() + kArchiveHeaderSize, nested.end())};
  custom.method = kMethodCustom;
  custom.checksum = 0;
  custom.unpacked_size = 0;
  Expand(BuildArchive({{"x", Bytes("x")}, custom, {"after", Bytes("a")}}, "NON", 10));
  EXPECT_EQ(ReadFile(dir / "custom").size(), 0u);
  EXPECT_FALSE(Exists("inner"));
  EXPECT_EQ(ReadFile(dir / "after"), Bytes("a"));

  custom.checksum = 5;
  EXPECT_THROW(Expand(BuildArchive({custom}, "NON", 10)), EBadChecksum);
}

TEST_F(ExpandTest, CustomEntryWithHandler) {
  RawEntry custom{"c", Bytes("packed")};
  custom.method = kMethodCustom;
  custom.unpacked_size = 3;
  custom.checksum = 294;
  compress.OnExpand = [](TStream& dest, TStream& source, int32_t src_size, int32_t dst_size,
                         const std::string& id, int32_t& checksum) {
    EXPECT_EQ(src_size, 6);
    EXPECT_EQ(dst_size, 3);
    EXPECT_EQ(id, "CUS");
    EXPECT_EQ(checksum, 0);
    std::vector<uint8_t> buf(6);
    EXPECT_EQ(source.Read(buf.data(), 6), 6);
    dest.WriteBuffer("abc", 3);
    checksum = 294;
  };
  Expand(BuildArchive({custom, {"after", Bytes("z")}}, "CUS"));
  EXPECT_EQ(ReadFile(dir / "c"), Bytes("abc"));
  EXPECT_EQ(ReadFile(dir / "after"), Bytes("z"));
}

TEST_F(ExpandTest, MakeDirectoriesMakesEveryMissingFolder) {
  compress.MakeDirectories = true;
  Expand(BuildArchive({{"sub1\\sub2\\file.dat", Bytes("abc")}, {"a\\b\\c", Bytes("d")}}));
  EXPECT_EQ(ReadFile(dir / "sub1/sub2/file.dat"), Bytes("abc"));
  EXPECT_EQ(ReadFile(dir / "a/b/c"), Bytes("d"));  // short folder names too
}

TEST_F(ExpandTest, FolderThatCannotBeMadeRaisesInOutError) {
  test::WriteFile(dir / "plain", Bytes("x"));
  compress.MakeDirectories = true;
  EXPECT_THROW(Expand(BuildArchive({{"plain\\sub\\f", Bytes("abc")}})), EInOutError);
}

TEST_F(ExpandTest, UncreatableFileIsPassedOverOrRaised) {
  // Missing folder without MakeDirectories: passed over, the loop goes on; without a selection
  // the files written are still told, and the one passed over is not among them.
  TStringList written = {"stale"};
  Expand(BuildArchive({{"nofolder\\f", Bytes("abc")}, {"next", Bytes("n")}}), nullptr, &written);
  EXPECT_TRUE(Exists("next"));
  EXPECT_EQ(written, TStringList{dir.Target() + "next"});
  compress.ExceptionOnFileError = true;
  EXPECT_THROW(Expand(BuildArchive({{"nofolder\\f", Bytes("abc")}})), EFCreateError);
}

TEST_F(ExpandTest, ReadOnlyDestinationCannotBeReplaced) {
  test::WriteFile(dir / "ro", Bytes("old"));
  chmod((dir / "ro").c_str(), 0444);
  Expand(BuildArchive({{"ro", Bytes("new")}, {"other", Bytes("o")}}));
  EXPECT_EQ(ReadFile(dir / "ro"), Bytes("old"));
  EXPECT_TRUE(Exists("other"));
  compress.ExceptionOnFileError = true;
  EXPECT_THROW(Expand(BuildArchive({{"ro", Bytes("new")}})), EFCreateError);
}

TEST_F(ExpandTest, FreeSpaceCheck) {
  compress.CheckSpaceBeforeExpand = true;
  // This disk has room for a small file.
  Expand(BuildArchive({{"small", Bytes("abc")}}));
  EXPECT_TRUE(Exists("small"));
  // A drive whose free space cannot be had answers -1, less than any size.
  EXPECT_EQ(compress.DiskFreeBytes(17), -1.0f);
}

// Packed data of a method, made by the component's own encoder.
std::vector<uint8_t> Pack(uint8_t method, const std::vector<uint8_t>& data) {
  TCompress compress;
  TMemoryStream in(data), out;
  uint32_t sum = 0;
  compress.EncodeStream(out, in, static_cast<int32_t>(data.size()), method, sum);
  return out.Data();
}

// Entries whose output would not match their header are damaged: nothing past UnpackedSize is
// written, and an unknown method is refused before its file exists.
TEST_F(ExpandTest, DamagedEntriesNeverWritePastTheirHeader) {
  struct Case {
    const char* what;
    std::vector<uint8_t> packed;
    int32_t unpacked;
    uint8_t method;
    int32_t key_lock;
    enum { kBadChecksum, kInvalidKey, kInvalidHeader } raised;
  };
  const std::vector<uint8_t> runs(100000, 'a');
  const std::vector<Case> cases = {
      {"stored, more packed than unpacked", std::vector<uint8_t>(300000, 'A'), 1, kMethodStored, 0,
       Case::kBadChecksum},
      {"stored, fewer packed than unpacked", Bytes("abc"), 5, kMethodStored, 0, Case::kBadChecksum},
      {"stored and locked", Bytes("abc"), 1, kMethodStored, 1, Case::kInvalidKey},
      {"run-length output past the size", Pack(kMethodRle, runs), 10, kMethodRle, 0,
       Case::kBadChecksum},
      {"LH5 output past the size", Pack(kMethodLh5, runs), 5, kMethodLh5, 0, Case::kBadChecksum},
      {"run-length, locked", Pack(kMethodRle, runs), 10, kMethodRle, 2, Case::kInvalidKey},
      {"unknown method 5", Bytes("abc"), 3, 5, 0, Case::kInvalidHeader},
      {"unknown method 255, locked", Bytes("abc"), 3, 255, 1, Case::kInvalidHeader},
  };
  compress.Key = 77;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawEntry entry{"e", c.packed};
    entry.unpacked_size = c.unpacked;
    entry.method = c.method;
    entry.key_lock = c.key_lock;
    entry.checksum = 0;  // "no checksum" in a stored entry: the sizes alone must catch it
    auto archive = BuildArchive({entry});
    switch (c.raised) {
      case Case::kBadChecksum:
        EXPECT_THROW(Expand(archive), EBadChecksum);
        break;
      case Case::kInvalidKey:
        EXPECT_THROW(Expand(archive), EInvalidKey);
        break;
      case Case::kInvalidHeader: {
        EXPECT_THROW(Expand(archive), EInvalidHeader);
        EXPECT_FALSE(Exists("e"));
        // Only the entry to be expanded is refused: the walk lists it with its code, and one
        // passed over (not selected, or dropped by OnCheckFile) never stops the others.
        const auto among = BuildArchive({{"before", Bytes("b")}, entry, {"after", Bytes("a")}});
        TMemoryStream source(among);
        TArchiveReader reader(compress, source);
        std::vector<int> methods;
        while (reader.Next()) methods.push_back(reader.Entry().Method);
        EXPECT_EQ(methods, (std::vector<int>{kMethodStored, c.method, kMethodStored}));
        EXPECT_THROW(Expand(among), EInvalidHeader);
        EXPECT_TRUE(Exists("before") && !Exists("e") && !Exists("after"));
        fs::remove(dir / "before");
        TStringList list = {"after", "before"};
        Expand(among, &list);
        EXPECT_EQ(list, (TStringList{dir.Target() + "before", dir.Target() + "after"}));
        fs::remove(dir / "before");
        fs::remove(dir / "after");
        compress.OnCheckFile = [](std::string& path, TCProcessMode) {
          if (path.ends_with("\\e")) path.clear();
        };
        Expand(among);
        compress.OnCheckFile = nullptr;
        EXPECT_TRUE(Exists("before") && !Exists("e") && Exists("after"));
        fs::remove(dir / "before");
        fs::remove(dir / "after");
        break;
      }
    }
    if (Exists("e")) {
      EXPECT_LE(fs::file_size(dir / "e"), static_cast<uintmax_t>(c.unpacked));
    }
    fs::remove(dir / "e");
  }
}

// A source that cannot seek, as a pipe; a dribbling one hands over at most 7 bytes a read, as a
// pipe or a socket may.
class TPipe : public TStream {
 public:
  explicit TPipe(std::vector<uint8_t> data, bool dribble = false)
      : inner_(std::move(data)), dribble_(dribble) {}
  int32_t Read(void* buffer, int32_t count) override {
    return inner_.Read(buffer, dribble_ && count > 7 ? 7 : count);
  }
  void WriteBuffer(const void*, int32_t) override {}
  int64_t Seek(int64_t, SeekOrigin) override { return -1; }

 private:
  TMemoryStream inner_;
  bool dribble_;
};

// The walk reads each header at the previous entry's first packed byte plus PackedSize, whatever
// the entry's decoder read, ends where the total or the stream says, and does the same on a
// source that cannot seek; an expansion writes exactly the entries it lists.
TEST_F(ExpandTest, WalkFollowsPackedSizesAndAgreesWithExpansion) {
  using TEnd = TArchiveReader::TEnd;
  auto hidden = BuildArchive({{"hidden", Bytes("secret")}});
  const std::vector<uint8_t> hidden_entry(hidden.begin() + kArchiveHeaderSize, hidden.end());
  // A decoder stops after its first fetch of 8192 bytes; the hidden entry sits right there.
  std::vector<uint8_t> padded = Pack(kMethodLh5, Bytes("abc"));
  padded.resize(8192, 0);
  padded.insert(padded.end(), hidden_entry.begin(), hidden_entry.end());
  RawEntry early{"early", padded};
  early.method = kMethodLh5;
  early.unpacked_size = 3;
  early.checksum = 294;
  RawEntry custom{"custom", hidden_entry};  // nobody expands it; checksum 0 accepts it
  custom.method = kMethodCustom;
  custom.unpacked_size = 0;
  custom.checksum = 0;
  // Two entries claiming nearly 2 GiB each, skipped by the selection: a 32-bit total would wrap
  // below TotalSize and let "after" through.
  RawEntry huge1{"huge1", {}}, huge2{"huge2", {}};
  huge1.unpacked_size = 0x40000000;
  huge2.unpacked_size = 0x7FFFFFFF;
  auto two = BuildArchive({{"one", Bytes("1111")}, {"two", Bytes("22")}});

  struct Case {
    const char* what;
    std::vector<uint8_t> archive;
    std::vector<std::string> names;  // as listed and as written (all entries selected)
    TEnd end;
    int64_t done;
  };
  const std::vector<Case> cases = {
      {"decoder stops early",
       BuildArchive({early, {"z", Bytes("z")}}),
       {"early", "z"},
       TEnd::EndOfStream,
       4},
      {"custom entry nobody reads",
       BuildArchive({{"x", Bytes("x")}, custom, {"z", Bytes("z")}}),
       {"x", "custom", "z"},
       TEnd::EndOfStream,
       2},
      {"entry past the total",
       BuildArchive({{"a", Bytes("a")}, {"b", Bytes("b")}}, "NON", 1),
       {"a"},
       TEnd::TotalReached,
       1},
      {"cut inside a header",
       std::vector<uint8_t>(two.begin(), two.end() - 2 - 3 - 10),
       {"one"},
       TEnd::CutShort,
       4},
      {"cut inside a name",
       std::vector<uint8_t>(two.begin(), two.end() - 2 - 2),
       {"one"},
       TEnd::CutShort,
       4},
      {"cut inside packed data",
       std::vector<uint8_t>(two.begin(), two.end() - 1),
       {"one", "two"},
       TEnd::EndOfStream,
       6},
      {"no archive header",
       std::vector<uint8_t>(two.begin(), two.begin() + 20),
       {},
       TEnd::EndOfStream,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int pipe : {0, 1, 2}) {  // seekable, pipe, pipe with short reads
      std::unique_ptr<TStream> source;
      if (pipe) {
        source = std::make_unique<TPipe>(c.archive, pipe == 2);
      } else {
        source = std::make_unique<TMemoryStream>(c.archive);
      }
      TArchiveReader reader(compress, *source);
      std::vector<std::string> listed;
      while (reader.Next()) listed.push_back(reader.Name());
      EXPECT_EQ(listed, c.names) << pipe;
      EXPECT_EQ(reader.EndReason(), c.end) << pipe;
      EXPECT_EQ(reader.Done(), c.done) << pipe;
    }
    ScratchDir out;
    compress.SetTargetPath(out.Target());
    TMemoryStream source(c.archive);
    try {
      compress.ExpandStreamToFiles(source);
    } catch (const EBadChecksum&) {
      // the entry cut inside its packed data
    }
    std::vector<std::string> written;
    for (const auto& f : fs::directory_iterator(out.Path()))
      written.push_back(f.path().filename().string());
    std::sort(written.begin(), written.end());
    std::vector<std::string> expected = c.names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(written, expected);
  }

  TStringList list = {"after"};
  Expand(BuildArchive({huge1, huge2, {"after", Bytes("a")}}, "NON", 0x7FFFFFFF), &list);
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(Exists("after"));
}

// What an extraction finds in its target folder is never followed or opened: a link, a FIFO or
// a second name of a file elsewhere is replaced by the entry's file.
TEST_F(ExpandTest, HostileTargetIsReplacedNeverFollowed) {
  ScratchDir outside;
  const std::string victim = outside / "victim";
  struct Case {
    const char* what;
    std::function<void(const std::string& at)> plant;
  };
  const std::vector<Case> cases = {
      {"symbolic link to a file",
       [&](const std::string& at) { symlink(victim.c_str(), at.c_str()); }},
      {"dangling symbolic link",
       [&](const std::string& at) { symlink((outside / "new").c_str(), at.c_str()); }},
      {"FIFO", [&](const std::string& at) { mkfifo(at.c_str(), 0666); }},
      {"hard link", [&](const std::string& at) { link(victim.c_str(), at.c_str()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteFile(victim, Bytes("precious"));
    c.plant(dir / "e");
    Expand(BuildArchive({{"e", Bytes("entry")}}));
    EXPECT_EQ(ReadFile(dir / "e"), Bytes("entry"));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "e")));
    EXPECT_EQ(ReadFile(victim), Bytes("precious"));
    EXPECT_FALSE(fs::exists(outside / "new"));
    fs::remove(dir / "e");
  }
  // Below a target, a link where a folder should be is not entered, with or without making
  // folders.
  // A walk kept from one file to the next (folders held open, some deeper than it keeps) makes
  // the same files and refuses the same links.
  TFolderWalk walk;
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "d\\";
  for (const std::string& name :
       std::vector<std::string>{"new\\er\\f", "new\\er\\g", "new\\h", deep + "f", "new\\er\\i"}) {
    TFileStream::CreateEntryBelow(dir.Target(), name, true, &walk);
    std::string host = name;
    std::replace(host.begin(), host.end(), '\\', '/');
    EXPECT_TRUE(fs::is_regular_file(dir / host)) << host;
  }
  fs::create_directory_symlink(outside.Path(), dir / "sub");
  for (TFolderWalk* w : {static_cast<TFolderWalk*>(nullptr), &walk})
    for (bool make_folders : {false, true}) {
      EXPECT_THROW(TFileStream::CreateEntryBelow(dir.Target(), "sub\\deeper\\f", make_folders, w),
                   EFCreateError);
      EXPECT_THROW(TFileStream::CreateEntryBelow(dir.Target(), "sub\\f", make_folders, w),
                   EFCreateError);
    }
  EXPECT_FALSE(fs::exists(outside / "deeper"));
  EXPECT_FALSE(fs::exists(outside / "f"));
}

// Folder names are made iteratively; on POSIX a colon is part of a name, never a drive.
TEST_F(ExpandTest, FolderNamesWithColonsAndLongRuns) {
  compress.MakeDirectories = true;
  Expand(BuildArchive(
      {{"docs\\agenda 10:30.txt", Bytes("a")}, {"a:b.txt", Bytes("b")}, {"x:\\y\\z", Bytes("c")}}));
  EXPECT_EQ(ReadFile(dir / "docs/agenda 10:30.txt"), Bytes("a"));
  EXPECT_EQ(ReadFile(dir / "a:b.txt"), Bytes("b"));
  EXPECT_EQ(ReadFile(dir / "x:/y/z"), Bytes("c"));
  compress.MakeFolderPath(dir.Target() + "new:dir\\in:ner");
  EXPECT_TRUE(fs::is_directory(dir / "new:dir/in:ner"));
  // A run of separators is one separator; a 32 KB name (1 GB of memory and a stack overflow
  // when folders were made recursively) is just too long for the system.
  compress.MakeFolderPath(dir.Target() + "r" + std::string(1000, '\\') + "s");
  EXPECT_TRUE(fs::is_directory(dir / "r/s"));
  for (const std::string& name : {std::string(32 * 1024, '\\') + "t", std::string(32 * 1024, 'n')})
    EXPECT_THROW(compress.MakeFolderPath(dir.Target() + "u\\" + name), EInOutError);
}

TEST(SpaceAvailableFor, ExistingFileCountsAsFreeSpace) {
  ScratchDir dir;
  TCompress compress;
  EXPECT_EQ(compress.SpaceAvailableFor(dir / "x"), 2147483647);  // check switched off
  compress.CheckSpaceBeforeExpand = true;
  // POSIX has no drives: "Q:" is an ordinary name in the current folder.
  EXPECT_GT(compress.SpaceAvailableFor("Q:\\x"), 0);
  int32_t before = compress.SpaceAvailableFor(dir / "f");
  test::WriteFile(dir / "f", std::vector<uint8_t>(100000, 1));
  int32_t after = compress.SpaceAvailableFor(dir / "f");
  if (before < 2147483647 - 200000) {
    // Free space moves as other processes write; the file's own size is what must show.
    EXPECT_NEAR(after - before, 0, 4096 * 64);
  } else {
    EXPECT_EQ(after, 2147483647);
  }
}

TEST(TargetPath, SetterAddsOneBackslash) {
  TCompress c;
  EXPECT_EQ(c.TargetPath(), "");
  EXPECT_EQ(c.Key, 0);
  EXPECT_FALSE(c.MakeDirectories || c.ExceptionOnFileError || c.CheckSpaceBeforeExpand);
  EXPECT_FALSE(c.OnCheckFile || c.OnExpand || c.OnRecognize || c.OnShowProgress || c.OnCompress);
  c.SetTargetPath("C:\\out");
  EXPECT_EQ(c.TargetPath(), "C:\\out\\");
  c.SetTargetPath("C:\\out\\");
  EXPECT_EQ(c.TargetPath(), "C:\\out\\");
  c.SetTargetPath("");
  EXPECT_EQ(c.TargetPath(), "");
}

TEST(IsFileSelected, FoldsOnlyAsciiLetters) {
  TStringList list = {"abc\\D.txt", "\xE9t\xE9"};
  EXPECT_TRUE(TCompress::IsFileSelected(list, "ABC\\d.TXT"));
  EXPECT_FALSE(TCompress::IsFileSelected(list, "abc\\d.txt2"));
  EXPECT_TRUE(TCompress::IsFileSelected(list, "\xE9t\xE9"));
  EXPECT_FALSE(TCompress::IsFileSelected(list, "\xC9T\xC9"));
}

}  // namespace
}  // namespace qobz
