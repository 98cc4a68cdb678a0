#pragma once

// Test support: a scratch folder and whole-file helpers, the same on Windows and on the
// publisher's POSIX host.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "common/byte_buffer.h"

namespace qvs::testing {

// A fresh folder of its own under `base` (the system's temporary folder unless given), removed
// with everything in it at the end of the test.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    static std::mt19937_64 names{std::random_device{}()};
    // create_directory answers false for a folder that exists already: another name is drawn.
    do {
      path_ = base / ("qvs-test-" + std::to_string(names()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline ByteBuffer BytesOf(std::string_view text) { return ByteBuffer(text.begin(), text.end()); }

inline void WriteBytes(const std::filesystem::path& path, ByteView bytes) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!stream.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

inline void WriteText(const std::filesystem::path& path, std::string_view text) { WriteBytes(path, BytesOf(text)); }

// Creates the missing parent folders first.
inline void WriteBinaryFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  WriteText(path, bytes);
}

inline ByteBuffer ReadBytes(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return ByteBuffer(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// The whole file, or "<missing>" when it cannot be opened.
inline std::string ReadBinaryFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    return "<missing>";
  }
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// Every entry below `root` with its content ("<folder>" for folders): equal snapshots mean an
// unchanged tree, byte for byte, with no file added or removed.
inline std::map<std::string, std::string> SnapshotTree(const std::filesystem::path& root) {
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
