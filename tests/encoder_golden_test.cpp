// The encoders' output pinned as checked-in files (tests/golden/<method>/<sample>.bin), with a log
// of everything else a run shows (<sample>.log): the order of stream reads, buffer writes and
// progress calls with the output count at each, the result, checksum and stream positions, for
// packing keyed without a limit, packing limited to the input size, and unpacking the pinned
// stream again. The samples sit where the input buffers, the LH5 window's first fill and slide,
// the LZH ring and the LH5 block's item buffer turn over, one or more of each kind of input, and
// inputs made to end in a tie of LH5 matches.
// A difference is reported at its first byte or line. QOBZ_UPDATE_GOLDEN=1 rewrites the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "codecs/codec_state.h"
#include "qobz/compress.h"
#include "qobz/errors.h"
#include "support/corpus.h"

namespace qobz {
namespace {

using Bytes = std::vector<uint8_t>;
using Log = std::vector<std::string>;

// A memory stream that logs every Read and WriteBuffer into a shared log, in call order.
class LoggingStream : public TMemoryStream {
 public:
  LoggingStream(Bytes data, Log& log) : TMemoryStream(std::move(data)), log_(log) {}
  explicit LoggingStream(Log& log) : log_(log) {}
  int32_t Read(void* buffer, int32_t count) override {
    const int32_t n = TMemoryStream::Read(buffer, count);
    log_.push_back("read " + std::to_string(count) + " got " + std::to_string(n));
    return n;
  }
  void WriteBuffer(const void* buffer, int32_t count) override {
    log_.push_back("write " + std::to_string(count));
    TMemoryStream::WriteBuffer(buffer, count);
  }

 private:
  Log& log_;
};

constexpr int32_t kKey = static_cast<int32_t>(0xA5C3E1F7u);

// One run through the driver, logged. Returns the bytes written.
Bytes LoggedRun(Log& log, const std::string& title, const Bytes& input, int32_t unpacked,
                uint8_t method, bool expanding, bool keyed, bool limited) {
  log.push_back(title);
  TCompress c;
  c.Key = keyed ? kKey : 0;
  c.OnShowProgress = [&](int32_t& percent) {
    log.push_back("progress " + std::to_string(percent) + " at " +
                  std::to_string(c.CodecState().OutCount));
  };
  LoggingStream src(input, log);
  LoggingStream dst(log);
  uint32_t checksum = 0;
  const auto size = static_cast<int32_t>(input.size());
  try {
    int32_t result;
    if (expanding || limited) {
      result = c.RunCodec(dst, src, size, unpacked, method, checksum, expanding, keyed);
    } else {
      result = c.EncodeStream(dst, src, size, method, checksum);
    }
    log.push_back("result " + std::to_string(result) + " checksum " + std::to_string(checksum));
  } catch (const Exception& e) {
    log.push_back("raised " + e.Message());
  }
  log.push_back("source at " + std::to_string(src.Position()) + " written " +
                std::to_string(dst.Size()));
  return dst.Data();
}

struct Sample {
  test::Kind kind;
  size_t size;
  bool tie = false;  // TieAtTheEnd(size) instead of the corpus sample
};

// Text whose last match is a tie that only the LH5 window's bytes past the end of the input break.
// When n % 8192 = 7936 + rem (rem 4..255), the window's last slide comes after the input has ended
// and leaves rem bytes to code: a Q (the text has none, so no match starts there), then rem - 1
// bytes found nowhere else. Two earlier copies of these go on as the window goes on past the end
// (spaces when the first fill held the whole input, else the 0 stored where the input ended and
// the bytes 8192 back) and part where the last slide stores ReadByte's 0, 256 slots after its
// start: one copy has a 0 there, the other the 'a' that the slot held before (the first byte of
// the last fetch, made 'a'). The last match must reach back to the copy with the 0.
Bytes TieAtTheEnd(size_t n) {
  Bytes in = test::MakeData(test::Kind::Text, n);
  const size_t last_fetch = n / 8192 * 8192;
  const size_t rem = n % 8192 - 7936;
  const size_t tail = n - rem;
  in[last_fetch] = 'a';
  in[tail] = 'Q';
  test::Rng rng(n);
  for (size_t i = tail + 1; i < n; ++i) in[i] = static_cast<uint8_t>(0x80 + rng.Below(128));
  auto past_end = [&](size_t i) -> uint8_t {
    return last_fetch == 0 ? ' ' : i == 0 ? 0 : in[n - 8192 + i];
  };
  for (const auto& [at, last] : {std::pair<size_t, uint8_t>{tail - 3000, 'a'}, {tail - 1500, 0}}) {
    std::copy(in.begin() + static_cast<ptrdiff_t>(tail + 1), in.end(),
              in.begin() + static_cast<ptrdiff_t>(at));
    for (size_t i = 0; i < 256 - rem; ++i) in[at + rem - 1 + i] = past_end(i);
    in[at + 255] = last;
  }
  return in;
}

const char* MethodDir(uint8_t method) {
  return method == kMethodRle ? "rle" : method == kMethodLzh ? "lzh" : "lh5";
}

std::string GoldenPath(uint8_t method, const std::string& name, const char* ext) {
  return std::string(QOBZ_SOURCE_DIR) + "/tests/golden/" + MethodDir(method) + "/" + name + ext;
}

Bytes ReadFile(const std::string& path, bool& found) {
  std::ifstream f(path, std::ios::binary);
  found = static_cast<bool>(f);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
}

std::string Join(const Log& log) {
  std::string out;
  for (const std::string& line : log) out += line + "\n";
  return out;
}

// The first difference of two byte strings, with the bytes around it.
std::string FirstDifference(const Bytes& want, const Bytes& got) {
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
  if (i == want.size() && i == got.size()) return "";
  auto around = [i](const Bytes& v) {
    std::string s;
    char hex[4];
    for (size_t k = i < 4 ? 0 : i - 4; k < v.size() && k < i + 8; ++k) {
      std::snprintf(hex, sizeof hex, k == i ? "[%02x" : " %02x", v[k]);
      s += hex;
      if (k == i) s += "]";
    }
    return s;
  };
  return "first difference at byte " + std::to_string(i) + " of " + std::to_string(want.size()) +
         " expected / " + std::to_string(got.size()) + " got: expected" + around(want) + ", got" +
         around(got);
}

std::string FirstDifference(const Log& want, const Log& got) {
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
  if (i == want.size() && i == got.size()) return "";
  return "first difference at line " + std::to_string(i + 1) + ": expected '" +
         (i < want.size() ? want[i] : "<end>") + "', got '" + (i < got.size() ? got[i] : "<end>") +
         "'";
}

Log Lines(const Bytes& text) {
  Log lines;
  std::string line;
  for (uint8_t c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

TEST(EncoderGolden, StreamsAndRunsMatchTheirFiles) {
  using test::Kind;
  const bool update = std::getenv("QOBZ_UPDATE_GOLDEN") != nullptr;
  struct MethodSamples {
    uint8_t method;
    std::vector<Sample> samples;
  };
  const MethodSamples table[] = {
      // Fetch boundaries, runs across them, escapes.
      {kMethodRle,
       {{Kind::Runs, 8193}, {Kind::Binary, 8192}, {Kind::Text, 257}, {Kind::Random, 1}}},
      // The ring wraps at 4096 positions, the model rebuilds after 32767 weights.
      {kMethodLzh,
       {{Kind::Text, 8193},
        {Kind::Source, 16385},
        {Kind::Binary, 7937},
        {Kind::Runs, 16384},
        {Kind::Random, 257}}},
      // The first window fill ends at 7936 bytes, the window slides at 16384, a block of
      // literals closes when its item buffer fills (random data), long matches (runs). A slide
      // after the end of the input stores ReadByte's 0 like any other: ties near the end, after
      // the first fill and after later slides (runs-73713 meets one by itself).
      {kMethodLh5,
       {{Kind::Text, 8193},
        {Kind::Source, 16385},
        {Kind::Binary, 7937},
        {Kind::Binary, 7936},
        {Kind::Runs, 16384},
        {Kind::Random, 16385},
        {Kind::Text, 3},
        {Kind::Text, 8000, true},
        {Kind::Text, 8191, true},
        {Kind::Text, 16383, true},
        {Kind::Runs, 73713}}},
  };
  int checked = 0;
  for (const MethodSamples& m : table) {
    for (const Sample& sample : m.samples) {
      const std::string name = std::string(sample.tie ? "tie" : test::KindName(sample.kind)) + "-" +
                               std::to_string(sample.size);
      SCOPED_TRACE(std::string(MethodDir(m.method)) + "/" + name);
      const Bytes input =
          sample.tie ? TieAtTheEnd(sample.size) : test::MakeData(sample.kind, sample.size);
      const auto n = static_cast<int32_t>(input.size());
      Log log;
      const Bytes packed = LoggedRun(log, "pack keyed", input, n, m.method, false, true, false);
      Bytes plain_packed = packed;
      for (size_t i = 0; i < plain_packed.size(); ++i)
        plain_packed[i] ^= static_cast<uint8_t>(static_cast<uint32_t>(kKey) >> (8 * (i % 4)));
      LoggedRun(log, "pack limited to the input size", input, n, m.method, false, false, true);
      const Bytes unpacked = LoggedRun(log, "unpack keyed", packed, n, m.method, true, true, false);
      EXPECT_TRUE(unpacked == input) << "the pinned stream does not unpack to its input";
      EXPECT_TRUE(LoggedRun(log, "unpack", plain_packed, n, m.method, true, false, false) == input);

      const std::string bin = GoldenPath(m.method, name, ".bin");
      const std::string txt = GoldenPath(m.method, name, ".log");
      if (update) {
        WriteFile(bin, std::string(plain_packed.begin(), plain_packed.end()));
        WriteFile(txt, Join(log));
        continue;
      }
      bool found_bin = false;
      bool found_txt = false;
      const Bytes want_bytes = ReadFile(bin, found_bin);
      const Log want_log = Lines(ReadFile(txt, found_txt));
      ASSERT_TRUE(found_bin && found_txt) << "missing " << bin << " or " << txt;
      const std::string byte_diff = FirstDifference(want_bytes, plain_packed);
      EXPECT_TRUE(byte_diff.empty()) << bin << ": " << byte_diff;
      const std::string log_diff = FirstDifference(want_log, log);
      EXPECT_TRUE(log_diff.empty()) << txt << ": " << log_diff;
      ++checked;
    }
  }
  if (!update) {
    EXPECT_EQ(checked, 20);
  }
}

}  // namespace
}  // namespace qobz
