// The LH5 decoder against archives made by an independent tool: `jlha a` of jlha-utils, whose
// default method is -lh5-, run as a black box on the test corpus. Each member is taken apart and
// decoded through the codec driver; the bytes and the checksum must match the original file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "qobz/compress.h"
#include "support/corpus.h"
#include "support/lha_container.h"
#include "support/peers.h"

namespace qobz {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    path_ = fs::temp_directory_path() /
            ("qobz-lh5-peer-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Archives every sample with `jlha a` and decodes each -lh5- member; returns how many were -lh5-.
int DecodeLhaArchiveOf(const std::vector<test::Sample>& samples) {
  TempFolder dir;
  std::map<std::string, const test::Sample*> by_name;
  std::string names;
  for (const auto& s : samples) {
    WriteFile(dir.Path() / s.name, s.data);
    by_name[s.name] = &s;
    names += " '" + s.name + "'";
  }
  const std::string cmd = "cd '" + dir.Path().string() + "' && jlha aq peer.lzh" + names;
  if (std::system(cmd.c_str()) != 0) {
    ADD_FAILURE() << "jlha a failed";
    return 0;
  }
  const auto members = test::ReadLhaArchive(ReadFile(dir.Path() / "peer.lzh"));
  EXPECT_EQ(members.size(), samples.size());
  int lh5 = 0;
  for (const auto& m : members) {
    SCOPED_TRACE(m.name);
    auto it = by_name.find(m.name);
    if (it == by_name.end()) {
      ADD_FAILURE() << "unexpected member";
      continue;
    }
    const std::vector<uint8_t>& original = it->second->data;
    if (m.original_size != original.size()) {
      ADD_FAILURE() << "size " << m.original_size << " in the archive, " << original.size();
      continue;
    }
    // jlha stores what it cannot shrink (-lh0-); everything else it packs with -lh5-.
    if (m.method != "-lh5-") {
      EXPECT_EQ(m.method, "-lh0-");
      continue;
    }
    ++lh5;
    TCompress compress;
    TMemoryStream source(m.packed);
    TMemoryStream dest;
    uint32_t checksum = 0;
    compress.RunCodec(dest, source, static_cast<int32_t>(m.packed.size()),
                      static_cast<int32_t>(original.size()), 4, checksum, true, false);
    EXPECT_TRUE(dest.Data() == original) << "decoded bytes differ";
    uint32_t sum = 0;
    for (uint8_t b : original) sum += b;
    EXPECT_EQ(checksum, sum);
    EXPECT_EQ(test::LhaCrc16(dest.Data()), m.crc);
    // The decoder never reads past the stream: the whole member fits one fetch or it stopped
    // inside the last one.
    EXPECT_LE(source.Position(), static_cast<int64_t>(m.packed.size()));
  }
  return lh5;
}

TEST(LH5DecodePeer, DecodesEveryMemberThatLhaPackedFromTheCorpus) {
  QOBZ_SKIP_WITHOUT("lh5_decode_peer.jlha", "jlha", "jlha-utils");
  const auto samples = test::Corpus(false);
  const int lh5 = DecodeLhaArchiveOf(samples);
  // Text, source, binary and runs of 255 bytes and more all shrink.
  EXPECT_GE(lh5, 40);
}

TEST(LH5DecodePeer, DecodesLhaMembersOfSeveralMegabytes) {
  QOBZ_SKIP_WITHOUT("lh5_decode_peer.jlha", "jlha", "jlha-utils");
  std::vector<test::Sample> large;
  for (auto& s : test::Corpus(true)) {
    if (s.data.size() >= (1u << 20)) large.push_back(std::move(s));
  }
  ASSERT_FALSE(large.empty());
  EXPECT_GE(DecodeLhaArchiveOf(large), 4);  // all but the random sample
}

}  // namespace
}  // namespace qobz
