// Our LH5 streams read by LHA tools that nobody here wrote. Each corpus sample is encoded, put
// into a one-member -lh5- archive and extracted by lhasa, jlha-utils (`jlha`), 7-Zip (`7zz`) and
// libarchive (`bsdtar`); the extracted bytes must equal the sample. Exit codes are not trusted:
// some of these tools exit 0 after skipping a member whose header they reject.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "qobz/compress.h"
#include "support/corpus.h"
#include "support/lha_container.h"
#include "support/peers.h"

namespace qobz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Encode(const Bytes& input) {
  TCompress c;
  TMemoryStream src(input);
  TMemoryStream dst;
  uint32_t sum = 0;
  c.EncodeStream(dst, src, static_cast<int32_t>(input.size()), kMethodLh5, sum);
  return dst.Data();
}

void WriteFile(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using test::LhaPeer;

std::string Substitute(std::string s, const std::string& key, const std::string& value) {
  for (size_t at = s.find(key); at != std::string::npos; at = s.find(key, at + value.size()))
    s.replace(at, key.size(), value);
  return s;
}

// One test per peer, so that the peers run side by side under ctest.
class LH5Peers : public testing::TestWithParam<LhaPeer> {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("qobz-lh5-peers-" + std::string(GetParam().name) + "-" +
                                         std::to_string(static_cast<long>(::getpid())));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // Extracts the archive with the peer; returns what it produced for the member.
  Bytes Extract(const fs::path& archive) {
    const LhaPeer& peer = GetParam();
    const fs::path work = root_ / "work";
    fs::remove_all(work);
    fs::create_directories(work);
    const fs::path out = root_ / "member.out";
    fs::remove(out);
    std::string cmd = Substitute(peer.extract_member, "%A", "'" + archive.string() + "'");
    cmd = Substitute(cmd, "%O", "'" + out.string() + "'");
    cmd = "cd '" + work.string() + "' && " + cmd;
    (void)std::system(cmd.c_str());
    return ReadFile(out);
  }

  fs::path root_;
};

TEST_P(LH5Peers, ExtractOurStreamsByteForByte) {
  const LhaPeer& peer = GetParam();
  QOBZ_SKIP_WITHOUT("lh5_peer." + std::string(peer.name), peer.name, peer.package);
  int checked = 0;
  for (const test::Sample& sample : test::Corpus(/*large=*/true)) {
    SCOPED_TRACE(sample.name);
    const bool two_values = std::set<uint8_t>(sample.data.begin(), sample.data.end()).size() >= 2;
    if (peer.needs_two_byte_values && !two_values) continue;
    const Bytes packed = Encode(sample.data);
    const fs::path archive = root_ / "sample.lzh";
    WriteFile(archive, test::MakeLhaArchive("-lh5-", "member.bin", packed, sample.data));
    const Bytes got = Extract(archive);
    EXPECT_TRUE(got == sample.data)
        << peer.name << " extracted " << got.size() << " bytes of " << sample.data.size();
    ++checked;
  }
  // Every peer saw the large samples and most of the small ones.
  EXPECT_GE(checked, 60);
}

INSTANTIATE_TEST_SUITE_P(Peers, LH5Peers, testing::ValuesIn(test::kLhaPeers),
                         [](const testing::TestParamInfo<LhaPeer>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qobz
