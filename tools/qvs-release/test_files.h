#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "common/byte_buffer.h"

namespace qvs::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void WriteBytes(const std::filesystem::path& path, ByteView bytes);
void WriteText(const std::filesystem::path& path, std::string_view text);
ByteBuffer ReadBytes(const std::filesystem::path& path);
ByteBuffer BytesOf(std::string_view text);

// Every entry below `root` with its content ("<folder>" for folders): equal snapshots mean an
// unchanged tree, byte for byte, with no file added or removed.
std::map<std::string, std::string> SnapshotTree(const std::filesystem::path& root);

}  // namespace qvs::testing
