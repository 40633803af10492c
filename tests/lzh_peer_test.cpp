// LZH against independent implementations of LHA's -lh1- method, used as black boxes:
// Debian's lhasa must extract our streams byte-exactly, and our expander must unpack the streams
// that libjlha-java makes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codecs/lzh/lzh.h"
#include "qobz/compress.h"
#include "support/corpus.h"
#include "support/lha_container.h"
#include "support/lzh_support.h"
#include "support/peers.h"

namespace qobz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qobz-lzh-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(f.good()) << path;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int Shell(const std::string& command) {
  return std::system(command.c_str());
}

Bytes Expand(const Bytes& packed, size_t size) {
  TCompress c;
  TMemoryStream src(packed), dst;
  uint32_t sum = 0;
  c.RunCodec(dst, src, static_cast<int32_t>(packed.size()), static_cast<int32_t>(size), kMethodLzh,
             sum, true, false);
  return dst.Data();
}

// Samples for the peers: the corpus at its boundary sizes plus one long input of each kind that
// takes several model rebuilds.
std::vector<test::Sample> PeerSamples() {
  std::vector<test::Sample> samples = test::Corpus(false);
  for (test::Kind kind : {test::Kind::Text, test::Kind::Source, test::Kind::Binary,
                          test::Kind::Random, test::Kind::Runs})
    samples.push_back({std::string(test::KindName(kind)) + "-long", test::MakeData(kind, 600000)});
  return samples;
}

TEST(LzhPeers, LhasaExtractsOurStreams) {
  QOBZ_SKIP_WITHOUT("lzh_peer.lhasa", "lhasa", "lhasa");
  TempDir dir;
  for (const auto& sample : PeerSamples()) {
    Bytes archive =
        test::MakeLhaArchive("-lh1-", "member", test::LzhRawCompress(sample.data), sample.data);
    WriteFile(dir / "a.lzh", archive);
    ASSERT_EQ(Shell("cd '" + dir / "" + "' && lhasa -pq a.lzh > out"), 0) << sample.name;
    ASSERT_EQ(ReadFile(dir / "out"), sample.data) << sample.name;
  }
}

TEST(LzhPeers, LhasaReadsCodesLongerThan16Bits) {
  // The literal stream of the model test whose rare symbols get 17- and 18-bit codes, and the
  // stream that starts with matches into the ring's last 60 positions.
  QOBZ_SKIP_WITHOUT("lzh_peer.lhasa", "lhasa", "lhasa");
  TempDir dir;
  static const int kCounts[] = {34, 21, 13, 8, 5, 3, 2, 1, 1};
  Bytes plain;
  test::Rng rng(5);
  for (int p = 0; p < 2500; ++p)
    for (int k = 0; k < 9; ++k) plain.insert(plain.end(), kCounts[k], static_cast<uint8_t>(k));
  for (size_t i = plain.size() - 1; i > 0; --i) std::swap(plain[i], plain[rng.Below(i + 1)]);
  for (int k = 0; k < 40; ++k) plain[30000 + 5000 * k] = static_cast<uint8_t>(200 + k);

  test::StateOver st({});
  LzhAllocateWork(st.s);
  LzhStartModel(st.s);
  for (uint8_t b : plain) LzhEncodeSymbol(st.s, b);
  LzhFlushBits(st.s);
  Bytes packed = st.Output();
  int longest = 0;
  for (const auto& t : test::LzhTrace(packed, static_cast<int32_t>(plain.size())))
    longest = std::max(longest, t.code_length);
  EXPECT_GT(longest, 16);
  WriteFile(dir / "a.lzh", test::MakeLhaArchive("-lh1-", "member", packed, plain));
  ASSERT_EQ(Shell("cd '" + dir / "" + "' && lhasa -pq a.lzh > out"), 0);
  EXPECT_EQ(ReadFile(dir / "out"), plain);
}

TEST(LzhPeers, WeExpandJlhaStreams) {
  QOBZ_SKIP_WITHOUT("lzh_peer.jlha-java", "javac", "default-jdk-headless");
  if (Shell("test -f /usr/share/java/jlha.jar") != 0)
    GTEST_SKIP() << "SKIPPED: lzh_peer.jlha-java: /usr/share/java/jlha.jar is not installed "
                    "(Debian package libjlha-java)";
  TempDir dir;
  const std::string classpath = "/usr/share/java/jlha.jar:" + dir / "";
  ASSERT_EQ(Shell("javac -nowarn -cp /usr/share/java/jlha.jar -d '" + dir / "" + "' '" +
                  QOBZ_SOURCE_DIR "/tests/java/MakeLh1.java'"),
            0);
  std::vector<test::Sample> samples = PeerSamples();
  std::string args;
  for (size_t i = 0; i < samples.size(); ++i) {
    WriteFile(dir / ("in" + std::to_string(i)), samples[i].data);
    args += " in" + std::to_string(i) + " out" + std::to_string(i);
  }
  // One Java run for every sample: the virtual machine starts only once.
  ASSERT_EQ(Shell("cd '" + dir / "" + "' && java -cp '" + classpath + "' MakeLh1" + args), 0);
  for (size_t i = 0; i < samples.size(); ++i) {
    Bytes packed = ReadFile(dir / ("out" + std::to_string(i)));
    if (!samples[i].data.empty()) {
      ASSERT_FALSE(packed.empty()) << samples[i].name;
    }
    EXPECT_EQ(Expand(packed, samples[i].data.size()), samples[i].data) << samples[i].name;
  }
}

}  // namespace
}  // namespace qobz
