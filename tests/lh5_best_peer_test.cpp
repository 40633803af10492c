// Streams of the smaller LH5 encoder read by LHA tools that nobody here wrote. Every corpus sample
// (the large ones included) and every input of the saved fuzz corpora is packed with --best into
// one many-member -lh5- archive, which lhasa, jlha, 7-Zip (7zz) and libarchive (bsdtar) each
// extract; every member must come out byte for byte. Exit codes are not trusted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
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

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Member {
  std::string name;  // in the archive
  std::string what;  // the sample or file it holds
  Bytes data;
};

// The inputs and the archive that holds their --best streams, made once for all peers.
struct BestArchive {
  std::vector<Member> members;
  Bytes archive;
};

const BestArchive& Archive() {
  static const BestArchive made = [] {
    BestArchive a;
    int n = 0;
    auto add = [&](std::string what, Bytes data) {
      char name[32];
      std::snprintf(name, sizeof name, "m%04d.bin", n++);
      a.members.push_back({name, std::move(what), std::move(data)});
    };
    for (test::Sample& s : test::Corpus(/*large=*/true)) add(s.name, std::move(s.data));
    for (const char* dir : {"lh5_best_roundtrip", "lh5_expand", "lzh_expand", "rle_expand"}) {
      std::vector<fs::path> files;
      for (const auto& e : fs::directory_iterator(fs::path(QOBZ_SOURCE_DIR) / "fuzz/corpus" / dir))
        files.push_back(e.path());
      std::sort(files.begin(), files.end());
      for (const fs::path& f : files) add(f.string(), ReadFile(f));
    }
    for (const Member& m : a.members) {
      TCompress c;
      TMemoryStream src(m.data);
      TMemoryStream dst;
      uint32_t sum = 0;
      c.EncodeStream(dst, src, static_cast<int32_t>(m.data.size()), kMethodLh5, sum, true);
      Bytes one = test::MakeLhaArchive("-lh5-", m.name, dst.Data(), m.data);
      one.pop_back();  // the end mark: members follow one another
      a.archive.insert(a.archive.end(), one.begin(), one.end());
    }
    a.archive.push_back(0);
    return a;
  }();
  return made;
}

using test::LhaPeer;

class LH5BestPeers : public testing::TestWithParam<LhaPeer> {};

TEST_P(LH5BestPeers, ExtractEveryMemberByteForByte) {
  const LhaPeer& peer = GetParam();
  QOBZ_SKIP_WITHOUT("lh5_best_peer." + std::string(peer.name), peer.name, peer.package);
  const BestArchive& a = Archive();
  const fs::path dir = fs::temp_directory_path() / ("qobz-lh5-best-" + std::string(peer.name) +
                                                    "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  {
    std::ofstream out(dir / "a.lzh", std::ios::binary);
    out.write(reinterpret_cast<const char*>(a.archive.data()),
              static_cast<std::streamsize>(a.archive.size()));
  }
  const std::string cmd = "cd '" + dir.string() + "' && " + peer.extract_all + " >/dev/null 2>&1";
  (void)std::system(cmd.c_str());
  int wrong = 0;
  for (const Member& m : a.members) {
    const fs::path path = dir / m.name;
    const bool same = fs::exists(path) && ReadFile(path) == m.data;
    if (!same && ++wrong <= 5) ADD_FAILURE() << peer.name << ": " << m.what << " differs";
  }
  EXPECT_EQ(wrong, 0) << "of " << a.members.size() << " members";
  EXPECT_GE(a.members.size(), 380u);
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Peers, LH5BestPeers, testing::ValuesIn(test::kLhaPeers),
                         [](const testing::TestParamInfo<LhaPeer>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qobz
