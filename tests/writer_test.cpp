// Archives made by TArchiveWriter: header fields, checksums and locks, the stored fallback, and
// round trips through the expansion for every method.
#include "qobz/writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "qobz/compress.h"
#include "qobz/methods.h"
#include "support/archive_builder.h"
#include "support/corpus.h"

namespace qobz {
namespace {

using test::Bytes;
using test::ScratchDir;

struct Made {
  std::vector<uint8_t> bytes;
  std::vector<TWrittenEntry> entries;
};

Made MakeArchive(TCompress& compress, uint8_t method, int32_t lock,
                 const std::vector<std::pair<std::string, std::vector<uint8_t>>>& files) {
  TMemoryStream out;
  TArchiveWriter writer(compress, out, method, lock);
  Made made;
  for (const auto& [name, data] : files) {
    TMemoryStream source(data);
    made.entries.push_back(writer.AddEntry(name, source, 0x31859978, 0x20));
  }
  writer.Finish();
  made.bytes = out.Data();
  return made;
}

TEST(ArchiveWriter, StoredArchiveIsByteExactWorkedExample) {
  TCompress compress;
  Made made = MakeArchive(compress, kMethodStored, 0, {{"A.TXT", Bytes("abc")}});
  const std::vector<uint8_t> expected = {
      0x51, 0x4F, 0x42, 0x5A, 0x1A, 0x4E, 0x4F, 0x4E, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x78, 0x99, 0x85, 0x31, 0x20,
      0x00, 0x03, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x26, 0x01, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x41, 0x2E, 0x54, 0x58, 0x54, 0x61, 0x62, 0x63};
  EXPECT_EQ(made.bytes, expected);
}

TEST(ArchiveWriter, LocksCarryTheKeyInChecksumAndHeader) {
  TCompress compress;
  compress.Key = 0x01020304;
  for (int32_t lock : {1, 2}) {
    Made made = MakeArchive(compress, kMethodStored, lock, {{"f", Bytes("abcde")}});
    const TEntryHeader& h = made.entries[0].Header;
    EXPECT_EQ(h.KeyLock, lock);
    EXPECT_EQ(h.Checksum, 0x61u + 0x62 + 0x63 + 0x64 + 0x65 + 0x01020304);
    TArchiveHeader archive = TArchiveHeader::Decode(made.bytes.data());
    EXPECT_EQ(archive.KeyLock, 2);  // a positive key marks the archive header
    const uint8_t* data = made.bytes.data() + kArchiveHeaderSize + kEntryHeaderSize + 1;
    if (lock == 2) {
      const std::vector<uint8_t> scrambled = {0x61 ^ 4, 0x62 ^ 3, 0x63 ^ 2, 0x64 ^ 1, 0x65 ^ 4};
      EXPECT_EQ(std::vector<uint8_t>(data, data + 5), scrambled);
    } else {
      EXPECT_EQ(std::vector<uint8_t>(data, data + 5), Bytes("abcde"));
    }
  }
  EXPECT_THROW(TArchiveWriter(compress, *std::make_unique<TMemoryStream>(), kMethodCustom),
               Exception);
  TCompress no_key;
  TMemoryStream out;
  EXPECT_THROW(TArchiveWriter(no_key, out, kMethodStored, 1), Exception);
}

class WriterRoundTrip : public ::testing::TestWithParam<uint8_t> {};

TEST_P(WriterRoundTrip, CorpusThroughFilesWithAndWithoutKey) {
  const uint8_t method = GetParam();
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (auto& sample : test::Corpus(false)) files.emplace_back("c\\" + sample.name, sample.data);
  for (int32_t lock : {0, 1, 2}) {
    TCompress writer_side;
    writer_side.Key = lock ? -123456789 : 0;
    Made made = MakeArchive(writer_side, method, lock, files);
    int32_t total = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      const TEntryHeader& h = made.entries[i].Header;
      total += h.UnpackedSize;
      // Stored whenever the method cannot make the entry smaller.
      EXPECT_TRUE(h.Method == method || h.Method == kMethodStored) << files[i].first;
      EXPECT_LE(h.PackedSize, h.UnpackedSize) << files[i].first;
    }
    EXPECT_EQ(TArchiveHeader::Decode(made.bytes.data()).TotalSize, total);

    ScratchDir dir;
    TCompress reader;
    reader.Key = writer_side.Key;
    reader.MakeDirectories = true;
    reader.SetTargetPath(dir.Target());
    TMemoryStream in(made.bytes);
    TStringList list;
    for (auto& f : files) list.push_back(f.first);
    reader.ExpandStreamToFiles(in, &list);
    size_t nonempty = 0;
    for (auto& [name, data] : files) {
      if (data.empty()) continue;  // empty entries after the total are read, not written
      ++nonempty;
      EXPECT_EQ(test::ReadFile(dir / ("c/" + name.substr(2))), data) << name << " lock " << lock;
    }
    EXPECT_GE(list.size(), nonempty);
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, WriterRoundTrip,
                         ::testing::Values(kMethodStored, kMethodRle, kMethodLzh, kMethodLh5),
                         [](const auto& info) { return std::string(FindMethod(info.param)->Id); });

TEST(ArchiveWriter, IncompressibleEntryIsStored) {
  TCompress compress;
  auto random = test::MakeData(test::Kind::Random, 20000);
  Made made = MakeArchive(compress, kMethodRle, 0, {{"r", random}});
  EXPECT_EQ(made.entries[0].Header.Method, kMethodStored);
  EXPECT_EQ(made.entries[0].Header.PackedSize, 20000);
  EXPECT_EQ(made.bytes.size(), size_t{kArchiveHeaderSize + kEntryHeaderSize + 1 + 20000});
}

TEST(ArchiveWriter, CancelIsAnErrorNotAShortEntry) {
  TCompress compress;
  compress.OnShowProgress = [](int32_t& percent) {
    if (percent > 0) percent = -1;
  };
  TMemoryStream out;
  TArchiveWriter writer(compress, out, kMethodStored);
  TMemoryStream source(std::vector<uint8_t>(20000, 7));
  EXPECT_THROW(writer.AddEntry("big", source, 0, 0), Exception);
}

// Packing files on several threads gives the bytes of AddFile one file after another: small files
// packed ahead, one over 4 MiB (packed in its turn, or ahead into a spill file), one that will not
// pack smaller, an empty one, and one that cannot be opened (reported, nothing written). Helper
// threads pack with their own codec state, so --best must reach it too (without the big file, to
// keep the slower encoder's share of the run short).
TEST(ArchiveWriter, ParallelFilesAreByteIdenticalToOneAfterAnother) {
  ScratchDir dir;
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> samples = {
      {"text", test::MakeData(test::Kind::Text, 30000)},
      {"big", test::MakeData(test::Kind::Runs, (4 << 20) + 1)},
      {"random", test::MakeData(test::Kind::Random, 5000)},
      {"empty", {}},
      {"binary", test::MakeData(test::Kind::Binary, 70000)},
      {"source", test::MakeData(test::Kind::Source, 9000)}};
  std::vector<TFileToAdd> files;
  for (const auto& [name, data] : samples) {
    test::WriteFile(dir / name, data);
    files.push_back({dir / name, "d\\" + name});
  }
  files.insert(files.begin() + 3, {dir / "missing", "d\\missing"});
  const std::vector<TFileToAdd> all = files;
  for (auto [method, best] :
       {std::pair{kMethodStored, false}, {kMethodLh5, false}, {kMethodLh5, true}}) {
    files = all;
    if (best) files.erase(files.begin() + 1);  // "big"; the missing file moves to index 2
    const size_t missing = best ? 2 : 3;
    std::vector<uint8_t> expected;
    {
      TCompress compress;
      TMemoryStream out;
      TArchiveWriter writer(compress, out, method);
      writer.SetBest(best);
      for (const TFileToAdd& f : files)
        if (f.StoredName != "d\\missing") writer.AddFile(f.Path, f.StoredName);
      writer.Finish();
      expected = out.Data();
    }
    for (int threads : {1, 2, 3}) {
      TCompress compress;
      TMemoryStream out;
      TArchiveWriter writer(compress, out, method);
      writer.SetBest(best);
      // With three threads the big file waits in a spill file; with two it is packed in its turn.
      ScratchDir spill;
      if (threads == 3) writer.SetSpillFolder(spill.Path());
      std::vector<size_t> before, skipped;
      TAddFilesEvents events;
      events.BeforeEntry = [&](size_t i) { before.push_back(i); };
      events.Skipped = [&](size_t i, const EFOpenError&) { skipped.push_back(i); };
      writer.AddFiles(files, threads, events);
      writer.Finish();
      EXPECT_EQ(out.Data(), expected)
          << "method " << int(method) << (best ? " best, " : ", ") << threads << " threads";
      EXPECT_EQ(before.size(), files.size());
      EXPECT_TRUE(std::is_sorted(before.begin(), before.end()));
      EXPECT_EQ(skipped, std::vector<size_t>{missing});
      EXPECT_TRUE(std::filesystem::is_empty(spill.Path())) << "spill file left behind";
      // Without a handler the file that cannot be opened is an error.
      TMemoryStream out2;
      TArchiveWriter strict(compress, out2, method);
      EXPECT_THROW(strict.AddFiles(files, threads), EFOpenError);
      // A cancel from the progress handler ends the run as an error, and no spill file stays.
      int calls = 0;
      compress.OnShowProgress = [&](int32_t& percent) {
        if (++calls == 2) percent = -1;
      };
      TMemoryStream out3;
      TArchiveWriter cancelled(compress, out3, method);
      if (threads == 3) cancelled.SetSpillFolder(spill.Path());
      std::string error;
      try {
        cancelled.AddFiles(files, threads, events);
      } catch (const Exception& e) {
        error = e.Message();
      }
      EXPECT_EQ(error, "Cancelled");
      EXPECT_TRUE(std::filesystem::is_empty(spill.Path())) << "spill file left behind";
    }
  }
}

#if !defined(_WIN32)
// With a source folder, each file is opened from the folder one name at a time: a link on the way
// or at the end, a FIFO, a folder, or a ".." is a file that cannot be opened, and nothing of what
// lies outside the tree reaches the archive.
TEST(ArchiveWriter, SourceFolderIsReadWithoutFollowingLinks) {
  namespace fs = std::filesystem;
  ScratchDir dir, outside;
  const fs::path tree = fs::path(dir.Path()) / "tree";
  fs::create_directories(tree / "sub");
  test::WriteFile((tree / "a.txt").string(), Bytes("inside a"));
  test::WriteFile((tree / "sub" / "b.txt").string(), Bytes("inside b"));
  test::WriteFile(outside / "secret", Bytes("OUTSIDE"));
  fs::create_symlink(outside / "secret", tree / "link.txt");
  fs::create_directory_symlink(outside.Path(), tree / "lsub");
  ASSERT_EQ(mkfifo((tree / "fifo").c_str(), 0600), 0);
  const std::vector<std::pair<std::string, const char*>> rows = {
      {"a.txt", "inside a"},     {"sub\\b.txt", "inside b"},   {"sub/b.txt", "inside b"},
      {"link.txt", nullptr},     {"lsub\\secret", nullptr},    {"fifo", nullptr},
      {"sub", nullptr},          {"..\\tree\\a.txt", nullptr}, {"sub\\..\\a.txt", nullptr},
      {"sub\\\\b.txt", nullptr}, {"missing", nullptr}};
  std::vector<TFileToAdd> files;
  for (const auto& row : rows) files.push_back({row.first, row.first});
  for (int threads : {1, 2}) {
    TCompress compress;
    TMemoryStream out;
    TArchiveWriter writer(compress, out, kMethodStored);
    writer.SetSourceFolder(tree.string());
    std::vector<std::string> skipped;
    TAddFilesEvents events;
    events.Skipped = [&](size_t i, const EFOpenError&) { skipped.push_back(rows[i].first); };
    writer.AddFiles(files, threads, events);
    writer.Finish();
    std::vector<std::string> expected_skipped;
    std::string expected_data;
    for (const auto& row : rows)
      row.second ? void(expected_data += row.second) : expected_skipped.push_back(row.first);
    EXPECT_EQ(skipped, expected_skipped) << threads << " threads";
    const std::string bytes(out.Data().begin(), out.Data().end());
    EXPECT_EQ(bytes.find("OUTSIDE"), std::string::npos) << threads << " threads";
    std::string data;
    TCompress reader;
    TMemoryStream in(out.Data());
    TArchiveHeader header;
    std::string id, name;
    reader.ReadArchiveHeader(in, header, id);
    TEntryHeader entry;
    while (reader.ReadEntryHeader(in, entry, name)) {
      TMemoryStream sink;
      reader.ExpandEntry(sink, in, entry.PackedSize, entry.UnpackedSize, entry.Checksum,
                         entry.Method, id, entry.KeyLock);
      data.append(sink.Data().begin(), sink.Data().end());
    }
    EXPECT_EQ(data, expected_data) << threads << " threads";
  }
  // The folder itself must be there.
  TCompress compress;
  TMemoryStream out;
  TArchiveWriter writer(compress, out, kMethodStored);
  writer.SetSourceFolder((tree / "gone").string());
  EXPECT_THROW(writer.AddFile("a.txt", "a.txt"), EFOpenError);
}
#endif

// A destination that takes bytes in order only: a pipe (every seek fails) or a stream that
// ignores seeks and answers how much it has taken (the tool's standard output).
class ForwardOnlyStream : public TStream {
 public:
  explicit ForwardOnlyStream(bool seek_fails) : seek_fails_(seek_fails) {}
  int32_t Read(void*, int32_t) override { return 0; }
  void WriteBuffer(const void*, int32_t count) override { written_ += count; }
  int64_t Seek(int64_t, SeekOrigin) override { return seek_fails_ ? -1 : written_; }

 private:
  bool seek_fails_;
  int64_t written_ = 0;
};

TEST(ArchiveWriter, StreamThatCannotSeekBackIsAnErrorNotABrokenArchive) {
  for (bool seek_fails : {true, false}) {
    for (uint8_t method : {kMethodStored, kMethodLh5}) {
      TCompress compress;
      ForwardOnlyStream out(seek_fails);
      EXPECT_THROW(
          {
            TArchiveWriter writer(compress, out, method);
            TMemoryStream source(test::MakeData(test::Kind::Text, 5000));
            writer.AddEntry("t", source, 0, 0);
            writer.Finish();
          },
          EWriteError)
          << "seek fails " << seek_fails << " method " << int(method);
    }
  }
}

}  // namespace
}  // namespace qobz
