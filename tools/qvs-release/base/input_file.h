#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/byte_buffer.h"
#include "tools/qvs-release/base/posix_file.h"

namespace qvs {

// A file the publisher hands to the tool (a package, a key), open for reading. Every refusal is a
// ToolError "WHAT PATH: REASON" with the system's own reason: a missing or unreadable file, a
// folder, a named pipe or a device each say so. Opening never waits: a named pipe without a writer
// is refused, not read.
class InputFile {
 public:
  InputFile(std::filesystem::path path, std::string what);

  const std::filesystem::path& path() const { return path_; }
  std::uint64_t size() const { return size_; }
  // For a caller that reads the file its own way (a secret, never into a growing buffer).
  int fd() const { return fd_.get(); }
  // Reads the whole file; refuses one that changes its size meanwhile.
  ByteBuffer ReadAll();
  [[noreturn]] void Refuse(const std::string& reason) const;

 private:
  std::filesystem::path path_;
  std::string what_;
  FileDescriptor fd_;
  std::uint64_t size_ = 0;
};

// The whole file, refused when it is empty or larger than `size_limit`.
ByteBuffer ReadInputFile(const std::filesystem::path& path, const std::string& what, std::uint64_t size_limit);

}  // namespace qvs
