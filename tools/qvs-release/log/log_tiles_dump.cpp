// For the tests: writes the tiles, entry bundles and root of a log of every size from 0 to N, so
// that an independent implementation can be held against them. Entry i is "entry i" followed by
// i % 7 plus signs. Usage: log-tiles-dump N FOLDER (FOLDER/SIZE/tile/..., FOLDER/SIZE/root in hex).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools/qvs-release/log/merkle_tree.h"
#include "trust/digest_text.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: log-tiles-dump N FOLDER\n");
    return 2;
  }
  const std::uint64_t count = std::stoull(argv[1]);
  const std::filesystem::path folder = argv[2];
  std::vector<qvs::ByteBuffer> entries;
  std::vector<qvs::TreeHash> leaves;
  for (std::uint64_t size = 0; size <= count; ++size) {
    const std::filesystem::path out = folder / std::to_string(size);
    std::filesystem::create_directories(out);
    for (const auto& [path, bytes] : qvs::TilesOf(entries)) {
      std::filesystem::create_directories((out / path).parent_path());
      std::ofstream(out / path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    std::ofstream(out / "root") << qvs::ToDigestText(qvs::RootOf(leaves));
    const std::string text = "entry " + std::to_string(size) + std::string(size % 7, '+');
    entries.emplace_back(text.begin(), text.end());
    leaves.push_back(qvs::LeafHash(entries.back()));
  }
  return 0;
}
