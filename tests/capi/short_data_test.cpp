// The C API against short entry data and over private files: an entry whose data end before its
// header's sizes is damage by every way out, and a file the API writes is never more open than
// the one it replaces.
#include <gtest/gtest.h>
#include <qobz/qobz.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/archive_builder.h"

namespace {

using qobz::test::ReadFile;
using qobz::test::ScratchDir;
using qobz::test::WriteFile;
using Bytes = std::vector<uint8_t>;

// One entry "e" packed with method, in memory.
Bytes OneEntryArchive(int method, const Bytes& data) {
  qobz_writer* w = qobz_writer_new();
  EXPECT_EQ(qobz_create_memory(w, method, 0, 0), QOBZ_OK);
  EXPECT_EQ(qobz_add_memory(w, "e", data.data(), data.size(), 0x31859978u, 0x20), QOBZ_OK);
  EXPECT_EQ(qobz_writer_finish(w), QOBZ_OK);
  const void* p = nullptr;
  size_t n = 0;
  EXPECT_EQ(qobz_writer_data(w, &p, &n), QOBZ_OK);
  Bytes out(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  qobz_writer_free(w);
  return out;
}

// The permission bits of path, or -1 when nothing is there.
int ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Names starting ".qobz-" left in a folder.
int Leftovers(const std::string& folder) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    n += e.path().filename().string().rfind(".qobz-", 0) == 0;
  return n;
}

int Ignore(void*, const void*, size_t) {
  return 0;
}

TEST(CApiShortData, EveryWayOutCallsItDamageAndCommitsNothing) {
  // Trailing zeros add nothing to the byte sum: a cut tail leaves the checksum right.
  Bytes data(400, 0);
  data[0] = 'a';
  data[1] = 'b';
  struct Row {
    int method;
    size_t cut;  // bytes taken off the end of the archive
  };
  const Row rows[] = {{QOBZ_METHOD_STORED, 1}, {QOBZ_METHOD_STORED, 200}, {QOBZ_METHOD_STORED, 398},
                      {QOBZ_METHOD_RLE, 1},    {QOBZ_METHOD_RLE, 2},      {QOBZ_METHOD_RLE, 3}};
  ScratchDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE("method " + std::to_string(row.method) + " cut " + std::to_string(row.cut));
    Bytes archive = OneEntryArchive(row.method, data);
    ASSERT_GT(archive.size(), row.cut);
    archive.resize(archive.size() - row.cut);
    const std::string path = dir / "short.qbz", out = dir / "out.bin";
    WriteFile(path, archive);
    for (int way = 0; way < 4; ++way) {
      qobz_reader* r = qobz_reader_new();
      ASSERT_EQ(qobz_open_path(r, path.c_str(), 0), QOBZ_OK);
      qobz_entry entry;
      ASSERT_EQ(qobz_next_entry(r, &entry), QOBZ_OK) << qobz_reader_message(r);
      ASSERT_EQ(entry.method, row.method);
      Bytes buffer(data.size());
      size_t written = 0;
      const int result = way == 0   ? qobz_test_entry(r)
                         : way == 1 ? qobz_extract_to_file(r, out.c_str())
                         : way == 2
                             ? qobz_extract_to_memory(r, buffer.data(), buffer.size(), &written)
                             : qobz_extract_to_callback(r, Ignore, nullptr);
      EXPECT_EQ(result, QOBZ_ERROR_CHECKSUM) << "way " << way << ": " << qobz_reader_message(r);
      qobz_reader_free(r);
    }
    EXPECT_EQ(ModeOf(out), -1) << "a short file was committed";
    EXPECT_EQ(Leftovers(dir.Path()), 0);
  }
}

TEST(CApiShortData, FileOutputsAreNeverMoreOpenThanWhatTheyReplace) {
  const Bytes data = qobz::test::Bytes("payload");
  ScratchDir dir;
  const std::string archive = dir / "a.qbz";
  WriteFile(archive, OneEntryArchive(QOBZ_METHOD_STORED, data));
  struct Row {
    bool extract;  // else qobz_create_path
    int before;    // mode of the file replaced
  };
  const Row rows[] = {{true, 0600}, {true, 0640}, {false, 0600}, {false, 0604}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.extract ? "extract" : "create") + " over mode 0" +
                 std::to_string(row.before / 64) + std::to_string(row.before / 8 % 8) +
                 std::to_string(row.before % 8));
    const std::string target = dir / "target";
    WriteFile(target, qobz::test::Bytes("old"));
    ASSERT_EQ(::chmod(target.c_str(), static_cast<mode_t>(row.before)), 0);
    if (row.extract) {
      qobz_reader* r = qobz_reader_new();
      qobz_entry entry;
      ASSERT_EQ(qobz_open_path(r, archive.c_str(), 0), QOBZ_OK);
      ASSERT_EQ(qobz_next_entry(r, &entry), QOBZ_OK);
      EXPECT_EQ(qobz_extract_to_file(r, target.c_str()), QOBZ_OK) << qobz_reader_message(r);
      qobz_reader_free(r);
      EXPECT_EQ(ReadFile(target), data);
    } else {
      qobz_writer* w = qobz_writer_new();
      ASSERT_EQ(qobz_create_path(w, target.c_str(), QOBZ_METHOD_STORED, 0, 0), QOBZ_OK);
      EXPECT_EQ(qobz_add_memory(w, "e", data.data(), data.size(), 0x31859978u, 0x20), QOBZ_OK);
      EXPECT_EQ(qobz_writer_finish(w), QOBZ_OK) << qobz_writer_message(w);
      qobz_writer_free(w);
      EXPECT_EQ(ReadFile(target), ReadFile(archive));
    }
    EXPECT_EQ(ModeOf(target), row.before);
    EXPECT_EQ(Leftovers(dir.Path()), 0);
  }
}

}  // namespace
