#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/byte_buffer.h"

namespace qvs {

// Owns one POSIX file descriptor.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded (it can report a deferred write error).
  bool Close() noexcept;

 private:
  int fd_ = -1;
};

// Whether anything, even a dangling symbolic link, stands at `path`.
bool Exists(const std::filesystem::path& path);

// Raises ToolError "PATH: WHAT: the system's reason for `error`".
[[noreturn]] void RaiseFileError(const std::string& what, const std::filesystem::path& path, int error);

// Writes all of `bytes` to `fd`, going on after interruptions; raises RaiseFileError naming `path`.
void WriteAll(int fd, ByteView bytes, const std::filesystem::path& path);

// Makes the renames, links and removals in `folder` durable.
void SyncFolder(const std::filesystem::path& folder);

// Reads a whole release file of the publisher's (a site's, or one given to verify or sign) of at
// most `size_limit` bytes, with the launcher's rules: only a regular file, its size checked before
// anything is read. A failure is a ToolError "PATH: the launcher's sentence" (kReleaseFileNotOpened,
// kReleaseFileSizeInvalid, kReleaseFileNotRead).
ByteBuffer ReadNamedFile(const std::filesystem::path& path, std::uint64_t size_limit);

// Creates `path` and each missing folder above it with exactly `mode`, whatever the umask: served
// folders must be readable by the web server's user.
void CreateFolders(const std::filesystem::path& path, mode_t mode);

// Creates `path`, which must not exist yet, with `mode`, writes `bytes` and flushes them to the
// device. Raises ToolError when the file exists; a file it could not finish is removed again.
void CreateNewFile(const std::filesystem::path& path, ByteView bytes, mode_t mode);

// How MoveIntoPlace treats what already stands at the target.
enum class Placement {
  kKeep,     // never replaced: linked in, and a target holding the same bytes counts as placed
  kReplace,  // renamed over
};

// Moves `from` to `to` and makes the move durable. A move that was stopped part way is completed
// by making it again. kKeep refuses a target with other bytes and leaves both files as they are.
void MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, Placement placement);

// Writes `bytes` whole to a temporary file beside `target`, flushes it, renames it over `target`
// and flushes the folder: `target` holds either its former or its new content, never a part.
void ReplaceFileAtomically(const std::filesystem::path& target, ByteView bytes, mode_t mode);

}  // namespace qvs
