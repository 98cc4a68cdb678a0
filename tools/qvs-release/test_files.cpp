#include "tools/qvs-release/test_files.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qvs::testing {

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qvs-release-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

void WriteBytes(const std::filesystem::path& path, ByteView bytes) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!stream) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

void WriteText(const std::filesystem::path& path, std::string_view text) { WriteBytes(path, BytesOf(text)); }

ByteBuffer ReadBytes(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return ByteBuffer(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

ByteBuffer BytesOf(std::string_view text) { return ByteBuffer(text.begin(), text.end()); }

std::map<std::string, std::string> SnapshotTree(const std::filesystem::path& root) {
  std::map<std::string, std::string> entries;
  if (!std::filesystem::exists(root)) {
    return entries;
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string name = std::filesystem::relative(entry.path(), root).string();
    if (entry.is_directory()) {
      entries[name] = "<folder>";
    } else {
      const ByteBuffer bytes = ReadBytes(entry.path());
      entries[name] = std::string(bytes.begin(), bytes.end());
    }
  }
  return entries;
}

}  // namespace qvs::testing
