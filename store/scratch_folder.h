#pragma once

// Test support: a fresh folder under the system's temporary folder, removed with its content at
// the end of the test.

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace qvs::testing {

class ScratchFolder {
 public:
  // Under `base`, the temporary folder unless given.
  explicit ScratchFolder(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    static std::atomic<int> counter{0};
    path_ = base / (L"qvs-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void WriteBinaryFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!stream.flush()) {
    throw std::runtime_error("test file could not be written");
  }
}

// The whole file, or "<missing>" when it cannot be opened.
inline std::string ReadBinaryFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    return "<missing>";
  }
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

}  // namespace qvs::testing
