// The C API through the public library (qobz::qobz) alone: archives made with qobz_writer and read
// back from a file, from memory and through a read callback, every entry checked field by field
// and taken out by each way (test, file, memory, callback); then the failures, each with its code
// and the component's message.
#include <gtest/gtest.h>
#include <qobz/errors.h>
#include <qobz/qobz.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/archive_builder.h"

namespace {

using qobz::test::ByteSum;
using qobz::test::ReadFile;
using qobz::test::ScratchDir;
using qobz::test::WriteFile;
using Bytes = std::vector<uint8_t>;

struct Reader {
  Reader() : r(qobz_reader_new()) {}
  ~Reader() { qobz_reader_free(r); }
  qobz_reader* r;
};

struct Writer {
  Writer() : w(qobz_writer_new()) {}
  ~Writer() { qobz_writer_free(w); }
  qobz_writer* w;
};

struct InputEntry {
  std::string given_name;   // as passed to qobz_add_memory
  std::string stored_name;  // as the archive holds it
  Bytes data;
  uint32_t date;
  uint32_t attributes;
  bool compressible;
};

std::vector<InputEntry> Inputs() {
  std::string text;
  for (int i = 0; text.size() < 20000; ++i)
    text += "line " + std::to_string(i) + std::string(40, ' ') + "end\n";
  Bytes noise(5000);
  uint32_t x = 12345;
  for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  return {
      {"empty", "empty", {}, 0x21A86000u, 0x20, false},  // empty entries go first
      {"docs/text.txt", "docs\\text.txt", Bytes(text.begin(), text.end()), 0x31859978u, 0x21, true},
      {"noise.bin", "noise.bin", noise, 0x58AC4A21u, 0x20, false},
  };
}

// Answers the archive made in memory.
Bytes MakeArchive(int method, int32_t key, int lock, const std::vector<InputEntry>& inputs,
                  bool best = false) {
  Writer w;
  EXPECT_EQ(qobz_writer_set_best(w.w, best), QOBZ_OK);
  EXPECT_EQ(qobz_create_memory(w.w, method, key, lock), QOBZ_OK) << qobz_writer_message(w.w);
  for (const InputEntry& in : inputs)
    EXPECT_EQ(qobz_add_memory(w.w, in.given_name.c_str(), in.data.data(), in.data.size(), in.date,
                              in.attributes),
              QOBZ_OK)
        << qobz_writer_message(w.w);
  EXPECT_EQ(qobz_writer_finish(w.w), QOBZ_OK) << qobz_writer_message(w.w);
  const void* data = nullptr;
  size_t size = 0;
  EXPECT_EQ(qobz_writer_data(w.w, &data, &size), QOBZ_OK);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  return Bytes(bytes, bytes + size);
}

// A read callback over a buffer that hands out at most 7 bytes per call (short reads everywhere);
// fail_at >= 0 answers an error once that many bytes were given.
struct ChunkedSource {
  const Bytes* data;
  size_t pos = 0;
  int64_t fail_at = -1;
  static ptrdiff_t Read(void* user, void* buffer, size_t size) {
    auto* s = static_cast<ChunkedSource*>(user);
    if (s->fail_at >= 0 && static_cast<int64_t>(s->pos) >= s->fail_at) return -1;
    size_t n = std::min<size_t>({size, 7, s->data->size() - s->pos});
    std::memcpy(buffer, s->data->data() + s->pos, n);
    s->pos += n;
    return static_cast<ptrdiff_t>(n);
  }
};

// Refuses pieces larger than the 8192 bytes that qobz.h promises.
int Collect(void* user, const void* data, size_t size) {
  if (size == 0 || size > 8192) return 1;
  auto* out = static_cast<Bytes*>(user);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  out->insert(out->end(), p, p + size);
  return 0;
}

enum class Way { Test, File, Memory, Callback };

TEST(CApi, ArchivesRoundTripFromEverySourceByEveryWay) {
  ASSERT_EQ(std::string(qobz_version()), QOBZ_VERSION_STRING);
  ASSERT_EQ(qobz_version_number(), QOBZ_VERSION_NUMBER);
  const std::vector<InputEntry> inputs = Inputs();
  struct Row {
    int method;
    int32_t key;
    int lock;
    bool best;
  };
  const Row rows[] = {{QOBZ_METHOD_STORED, 0, 0, false},      {QOBZ_METHOD_RLE, 0, 0, false},
                      {QOBZ_METHOD_LZH, 0x1234567, 1, false}, {QOBZ_METHOD_LH5, -2, 2, false},
                      {QOBZ_METHOD_LH5, 0, 0, false},         {QOBZ_METHOD_LH5, 0, 0, true}};
  ScratchDir dir;
  size_t lh5_size = 0;
  for (const Row& row : rows) {
    const Bytes archive = MakeArchive(row.method, row.key, row.lock, inputs, row.best);
    // The row before the best one packs the same inputs with the default LH5 encoder.
    if (row.best) {
      EXPECT_LT(archive.size(), lh5_size);
    }
    lh5_size = archive.size();
    const std::string path = dir / "archive.qbz";
    WriteFile(path, archive);
    for (int source = 0; source < 3; ++source) {
      for (Way way : {Way::Test, Way::File, Way::Memory, Way::Callback}) {
        SCOPED_TRACE("method " + std::to_string(row.method) + " lock " + std::to_string(row.lock) +
                     " source " + std::to_string(source) + " way " +
                     std::to_string(static_cast<int>(way)));
        Reader r;
        ASSERT_EQ(qobz_reader_set_key(r.r, row.key), QOBZ_OK);
        ChunkedSource chunks{&archive};
        int opened = source == 0   ? qobz_open_path(r.r, path.c_str(), 0)
                     : source == 1 ? qobz_open_memory(r.r, archive.data(), archive.size())
                                   : qobz_open_callbacks(r.r, ChunkedSource::Read, &chunks);
        ASSERT_EQ(opened, QOBZ_OK) << qobz_reader_message(r.r);
        EXPECT_STREQ(qobz_archive_method(r.r), qobz_method_name(row.method));
        size_t total = 0;
        for (const InputEntry& in : inputs) total += in.data.size();
        EXPECT_EQ(qobz_archive_total_size(r.r), static_cast<int64_t>(total));

        for (const InputEntry& in : inputs) {
          qobz_entry e;
          ASSERT_EQ(qobz_next_entry(r.r, &e), QOBZ_OK) << qobz_reader_message(r.r);
          EXPECT_EQ(e.name, in.stored_name);
          EXPECT_EQ(e.size, static_cast<int64_t>(in.data.size()));
          if (!in.data.empty()) {
            EXPECT_EQ(e.method, in.compressible ? row.method : QOBZ_METHOD_STORED);
          }
          if (in.compressible && row.method != QOBZ_METHOD_STORED)
            EXPECT_LT(e.packed_size, e.size);
          else
            EXPECT_EQ(e.packed_size, e.size);
          EXPECT_EQ(e.dos_date, in.date);
          EXPECT_EQ(e.attributes, in.attributes);
          EXPECT_EQ(e.checksum, ByteSum(in.data) + static_cast<uint32_t>(row.lock ? row.key : 0));
          EXPECT_EQ(e.lock, row.lock);

          Bytes out;
          switch (way) {
            case Way::Test:
              ASSERT_EQ(qobz_test_entry(r.r), QOBZ_OK) << qobz_reader_message(r.r);
              out = in.data;
              break;
            case Way::File: {
              const std::string file = dir / "out.bin";
              WriteFile(file, {1, 2, 3});  // an existing file is replaced
              ASSERT_EQ(qobz_extract_to_file(r.r, file.c_str()), QOBZ_OK)
                  << qobz_reader_message(r.r);
              out = ReadFile(file);
              break;
            }
            case Way::Memory: {
              out.assign(in.data.size(), 0xEE);
              size_t written = 99;
              ASSERT_EQ(qobz_extract_to_memory(r.r, out.data(), out.size(), &written), QOBZ_OK)
                  << qobz_reader_message(r.r);
              EXPECT_EQ(written, in.data.size());
              break;
            }
            case Way::Callback:
              ASSERT_EQ(qobz_extract_to_callback(r.r, Collect, &out), QOBZ_OK)
                  << qobz_reader_message(r.r);
              break;
          }
          EXPECT_EQ(out, in.data);
          // Once taken, the entry cannot be taken again.
          EXPECT_EQ(qobz_test_entry(r.r), QOBZ_ERROR_STATE);
        }
        qobz_entry e;
        EXPECT_EQ(qobz_next_entry(r.r, &e), QOBZ_DONE) << qobz_reader_message(r.r);
        EXPECT_STREQ(qobz_reader_message(r.r), "");
      }
    }
  }
  // Nothing but the archive and the last output is left in the folder: no temporary files.
  size_t files = 0;
  for (auto& f : std::filesystem::directory_iterator(dir.Path())) files += f.is_regular_file();
  EXPECT_EQ(files, 2u);
}

TEST(CApi, FailuresAnswerTheirCodeAndTheComponentsMessage) {
  const std::vector<InputEntry> inputs = Inputs();
  const Bytes locked = MakeArchive(QOBZ_METHOD_LH5, 77, 2, inputs);
  const Bytes plain = MakeArchive(QOBZ_METHOD_LZH, 0, 0, inputs);
  Bytes damaged = plain;
  damaged.back() ^= 0x55;  // the last byte of the noise entry, stored
  const Bytes cut_in_data(plain.begin(), plain.end() - 3000);
  const Bytes cut_in_name(plain.begin(), plain.end() - 5005);  // the noise entry: 9-byte name
  ScratchDir dir;

  // Opens `archive` from memory (or through a callback failing at fail_at), then walks to the
  // entry named `name` and runs `take` on it. Answers the first failure's code and message.
  auto walk = [](const Bytes& archive, const char* name, int32_t key,
                 const std::function<int(qobz_reader*)>& take, int64_t fail_at = -2) {
    Reader r;
    qobz_reader_set_key(r.r, key);
    ChunkedSource chunks{&archive, 0, fail_at};
    int result = fail_at == -2 ? qobz_open_memory(r.r, archive.data(), archive.size())
                               : qobz_open_callbacks(r.r, ChunkedSource::Read, &chunks);
    qobz_entry e;
    while (result == QOBZ_OK && (result = qobz_next_entry(r.r, &e)) == QOBZ_OK)
      if (name && std::strcmp(e.name, name) == 0) {
        result = take(r.r);
        break;
      }
    return std::make_pair(result, std::string(qobz_reader_message(r.r)));
  };
  auto test = [](qobz_reader* r) { return qobz_test_entry(r); };
  auto small_buffer = [](qobz_reader* r) {
    char buffer[100];
    return qobz_extract_to_memory(r, buffer, sizeof buffer, nullptr);
  };
  auto refusing_callback = [](qobz_reader* r) {
    return qobz_extract_to_callback(
        r, [](void*, const void*, size_t) { return 1; }, nullptr);
  };
  const std::string missing_folder = dir / "no/such/folder/file";
  auto to_missing_folder = [&](qobz_reader* r) {
    return qobz_extract_to_file(r, missing_folder.c_str());
  };
  auto create = [](int method, int32_t key, int lock) {
    Writer w;
    int result = qobz_create_memory(w.w, method, key, lock);
    return std::make_pair(result, std::string(qobz_writer_message(w.w)));
  };
  auto empty_after_data = [] {
    Writer w;
    qobz_create_memory(w.w, QOBZ_METHOD_LH5, 0, 0);
    qobz_add_memory(w.w, "a", "x", 1, 0, 0x20);
    int result = qobz_add_memory(w.w, "b", "", 0, 0, 0x20);
    return std::make_pair(result, std::string(qobz_writer_message(w.w)));
  };
  auto open_path = [](const std::string& path, int64_t offset) {
    Reader r;
    int result = qobz_open_path(r.r, path.c_str(), offset);
    return std::make_pair(result, std::string(qobz_reader_message(r.r)));
  };
  // An entry of an unknown method code is listed; testing or extracting it fails, naming it.
  qobz::test::RawEntry unknown("odd", qobz::test::Bytes("abc"));
  unknown.method = 9;
  const Bytes odd_method = qobz::test::BuildArchive({unknown, {"after", qobz::test::Bytes("def")}});
  const char* const odd_message =
      "Entry \"odd\" uses method code 9, which this library does not know";
  const std::string odd_path = dir / "odd.txt";
  auto odd_to_file = [&](qobz_reader* r) { return qobz_extract_to_file(r, odd_path.c_str()); };
  const std::string archive_path = dir / "plain.qbz";
  WriteFile(archive_path, plain);

  struct Row {
    const char* what;
    std::pair<int, std::string> got;
    int code;
    const char* message;  // nullptr: any message that is not empty
  };
  const Row rows[] = {
      {"no key", walk(locked, "docs\\text.txt", 0, test), QOBZ_ERROR_KEY, qobz::EInvalidKey::kText},
      {"wrong key", walk(locked, "docs\\text.txt", 78, test), QOBZ_ERROR_KEY,
       qobz::EInvalidKey::kText},
      {"damaged data", walk(damaged, "noise.bin", 0, test), QOBZ_ERROR_CHECKSUM,
       qobz::EBadChecksum::kText},
      {"not an archive", walk(qobz::test::Bytes("hello, this is not an archive"), nullptr, 0, test),
       QOBZ_ERROR_HEADER, qobz::EInvalidHeader::kText},
      {"empty input", walk(Bytes(), nullptr, 0, test), QOBZ_ERROR_HEADER,
       qobz::EInvalidHeader::kText},
      {"cut in the data", walk(cut_in_data, nullptr, 0, test), QOBZ_ERROR_HEADER, nullptr},
      {"cut in a name", walk(cut_in_name, nullptr, 0, test), QOBZ_ERROR_HEADER, nullptr},
      {"unknown method code, tested", walk(odd_method, "odd", 0, test), QOBZ_ERROR_METHOD,
       odd_message},
      {"unknown method code, to a file", walk(odd_method, "odd", 0, odd_to_file, -1),
       QOBZ_ERROR_METHOD, odd_message},
      {"read callback error", walk(plain, "noise.bin", 0, test, 200), QOBZ_ERROR_READ,
       "The read callback reported an error"},
      {"buffer too small", walk(plain, "docs\\text.txt", 0, small_buffer), QOBZ_ERROR_ARGUMENT,
       nullptr},
      {"write callback refuses", walk(plain, "docs\\text.txt", 0, refusing_callback),
       QOBZ_ERROR_WRITE, nullptr},
      {"folder missing", walk(plain, "docs\\text.txt", 0, to_missing_folder), QOBZ_ERROR_CREATE,
       nullptr},
      {"no such file", open_path(dir / "absent.qbz", 0), QOBZ_ERROR_OPEN, nullptr},
      {"offset past the end", open_path(archive_path, 1 << 20), QOBZ_ERROR_HEADER, nullptr},
      {"custom method", create(QOBZ_METHOD_CUSTOM, 0, 0), QOBZ_ERROR_ARGUMENT, nullptr},
      {"lock without key", create(QOBZ_METHOD_LH5, 0, 1), QOBZ_ERROR_ARGUMENT, nullptr},
      {"key without lock", create(QOBZ_METHOD_LH5, 5, 0), QOBZ_ERROR_ARGUMENT, nullptr},
      {"lock 3", create(QOBZ_METHOD_LH5, 5, 3), QOBZ_ERROR_ARGUMENT, nullptr},
      {"empty entry after data", empty_after_data(), QOBZ_ERROR_ARGUMENT, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.got.first, row.code) << row.got.second;
    if (row.message)
      EXPECT_EQ(row.got.second, row.message);
    else
      EXPECT_FALSE(row.got.second.empty());
    EXPECT_STRNE(qobz_result_text(row.code), "unknown result code");
  }
  // Past such an entry the walk goes on, from memory and through a callback that cannot seek.
  for (bool callbacks : {false, true}) {
    SCOPED_TRACE(callbacks ? "callbacks" : "memory");
    Reader r;
    ChunkedSource chunks{&odd_method};
    ASSERT_EQ(callbacks ? qobz_open_callbacks(r.r, ChunkedSource::Read, &chunks)
                        : qobz_open_memory(r.r, odd_method.data(), odd_method.size()),
              QOBZ_OK);
    qobz_entry e;
    ASSERT_EQ(qobz_next_entry(r.r, &e), QOBZ_OK) << qobz_reader_message(r.r);
    EXPECT_EQ(e.method, 9);
    EXPECT_EQ(qobz_method_name(e.method), nullptr);
    EXPECT_EQ(qobz_test_entry(r.r), QOBZ_ERROR_METHOD);
    ASSERT_EQ(qobz_next_entry(r.r, &e), QOBZ_OK) << qobz_reader_message(r.r);
    EXPECT_STREQ(e.name, "after");
    char out[3];
    size_t n = 0;
    EXPECT_EQ(qobz_extract_to_memory(r.r, out, sizeof out, &n), QOBZ_OK);
    EXPECT_EQ(std::string(out, n), "def");
    EXPECT_EQ(qobz_next_entry(r.r, &e), QOBZ_DONE);
  }
  // A failed extraction to a file leaves nothing behind, and replaces nothing.
  const std::string kept = dir / "kept.txt";
  WriteFile(kept, {'k'});
  auto to_kept = [&](qobz_reader* r) { return qobz_extract_to_file(r, kept.c_str()); };
  EXPECT_EQ(walk(damaged, "noise.bin", 0, to_kept).first, QOBZ_ERROR_CHECKSUM);
  EXPECT_EQ(ReadFile(kept), Bytes{'k'});
  size_t files = 0;
  for (auto& f : std::filesystem::directory_iterator(dir.Path())) files += f.is_regular_file();
  EXPECT_EQ(files, 2u);  // plain.qbz and kept.txt
  // A writer freed before it finished leaves no file.
  {
    Writer w;
    ASSERT_EQ(qobz_create_path(w.w, (dir / "unfinished.qbz").c_str(), QOBZ_METHOD_RLE, 0, 0),
              QOBZ_OK);
    ASSERT_EQ(qobz_add_memory(w.w, "a", "abc", 3, 0, 0x20), QOBZ_OK);
  }
  // One finished on a path reads back.
  {
    Writer w;
    const std::string made = dir / "made.qbz";
    ASSERT_EQ(qobz_create_path(w.w, made.c_str(), QOBZ_METHOD_LH5, 9, 1), QOBZ_OK);
    ASSERT_EQ(qobz_add_file(w.w, kept.c_str(), "sub/kept.txt"), QOBZ_OK)
        << qobz_writer_message(w.w);
    ASSERT_EQ(qobz_writer_finish(w.w), QOBZ_OK) << qobz_writer_message(w.w);
    auto back = walk(ReadFile(made), "sub\\kept.txt", 9, [](qobz_reader* r) {
      char c = 0;
      size_t n = 0;
      int result = qobz_extract_to_memory(r, &c, 1, &n);
      return result == QOBZ_OK && n == 1 && c == 'k' ? QOBZ_OK : QOBZ_ERROR_OTHER;
    });
    EXPECT_EQ(back.first, QOBZ_OK) << back.second;
  }
  files = 0;
  for (auto& f : std::filesystem::directory_iterator(dir.Path())) files += f.is_regular_file();
  EXPECT_EQ(files, 3u);  // plain.qbz, kept.txt, made.qbz
}

// A progress callback that records what it hears and answers a cancel at call number stop_at
// (counted from 0; -1: never).
struct ProgressLog {
  std::vector<int> seen;
  int stop_at = -1;
  static int Hear(void* user, int percent) {
    auto* log = static_cast<ProgressLog*>(user);
    log->seen.push_back(percent);
    return static_cast<int>(log->seen.size()) - 1 == log->stop_at;
  }
  // 0 first, 100 last (when not stopped), never falling, never out of 0..100.
  void ExpectSound(bool stopped) const {
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), 0);
    if (!stopped) {
      EXPECT_EQ(seen.back(), 100);
    }
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_TRUE(seen[i] >= 0 && seen[i] <= 100) << seen[i];
      if (i > 0) {
        EXPECT_GE(seen[i], seen[i - 1]);
      }
    }
  }
};

// Progress through both handles, and a cancel at the first, a middle and the last call: the call
// fails with CANCELLED and keeps nothing, a reader walks on, a writer's archive is given up.
TEST(CApi, ProgressReportsEachEntryAndACancelKeepsNothing) {
  Bytes big(300000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>((i * i) >> 7);
  const std::vector<InputEntry> inputs = {
      {"big", "big", big, 0x21A86000u, 0x20, true},
      {"next", "next", Bytes(5000, 'n'), 0x21A86000u, 0x20, true}};
  const Bytes archive = MakeArchive(QOBZ_METHOD_LH5, 0, 0, inputs);
  ScratchDir dir;
  const std::string target = dir / "big.out";

  ProgressLog full;
  {
    Reader r;
    ASSERT_EQ(qobz_reader_set_progress(r.r, ProgressLog::Hear, &full), QOBZ_OK);
    ASSERT_EQ(qobz_open_memory(r.r, archive.data(), archive.size()), QOBZ_OK);
    qobz_entry e;
    ASSERT_EQ(qobz_next_entry(r.r, &e), QOBZ_OK);
    ASSERT_EQ(qobz_extract_to_file(r.r, target.c_str()), QOBZ_OK) << qobz_reader_message(r.r);
  }
  full.ExpectSound(false);
  ASSERT_GE(full.seen.size(), 4u);  // 0, the fetches, 100
  EXPECT_EQ(ReadFile(target), big);

  const int calls = static_cast<int>(full.seen.size());
  for (int stop_at : {0, calls / 2, calls - 1}) {
    SCOPED_TRACE("cancel at call " + std::to_string(stop_at));
    std::filesystem::remove(target);
    ProgressLog log;
    log.stop_at = stop_at;
    Reader r;
    ASSERT_EQ(qobz_reader_set_progress(r.r, ProgressLog::Hear, &log), QOBZ_OK);
    ASSERT_EQ(qobz_open_memory(r.r, archive.data(), archive.size()), QOBZ_OK);
    qobz_entry e;
    ASSERT_EQ(qobz_next_entry(r.r, &e), QOBZ_OK);
    EXPECT_EQ(qobz_extract_to_file(r.r, target.c_str()), QOBZ_ERROR_CANCELLED);
    EXPECT_STREQ(qobz_reader_message(r.r), "Cancelled");
    EXPECT_EQ(log.seen.size(), static_cast<size_t>(stop_at + 1));
    log.ExpectSound(true);
    EXPECT_FALSE(std::filesystem::exists(target));
    // The walk goes on, and the next entry comes out whole.
    ASSERT_EQ(qobz_next_entry(r.r, &e), QOBZ_OK) << qobz_reader_message(r.r);
    EXPECT_STREQ(e.name, "next");
    Bytes next(5000);
    size_t n = 0;
    EXPECT_EQ(qobz_extract_to_memory(r.r, next.data(), next.size(), &n), QOBZ_OK);
    EXPECT_EQ(next, inputs[1].data);

    ProgressLog packing;
    packing.stop_at = stop_at;
    const std::string made = dir / "made.qbz";
    {
      Writer w;
      ASSERT_EQ(qobz_writer_set_progress(w.w, ProgressLog::Hear, &packing), QOBZ_OK);
      ASSERT_EQ(qobz_create_path(w.w, made.c_str(), QOBZ_METHOD_LH5, 0, 0), QOBZ_OK);
      EXPECT_EQ(qobz_add_memory(w.w, "big", big.data(), big.size(), 0, 0x20), QOBZ_ERROR_CANCELLED);
      EXPECT_EQ(qobz_writer_finish(w.w), QOBZ_ERROR_STATE);
    }
    packing.ExpectSound(true);
    EXPECT_FALSE(std::filesystem::exists(made));
  }
}

}  // namespace
