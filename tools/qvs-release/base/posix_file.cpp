#include "tools/qvs-release/base/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

std::string SystemMessage(int error) { return std::strerror(error); }

// fsync, then close, both checked: only then are the bytes known to be on the device.
void FlushAndClose(FileDescriptor& fd, const std::filesystem::path& path) {
  if (::fsync(fd.get()) != 0) {
    RaiseFileError("flush failed", path, errno);
  }
  if (!fd.Close()) {
    RaiseFileError("close failed", path, errno);
  }
}

std::filesystem::path ParentFolder(const std::filesystem::path& path) {
  const std::filesystem::path parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

// A temporary file beside its target, removed again unless it was renamed into place.
class StagingFile {
 public:
  StagingFile(const std::filesystem::path& target, mode_t mode) {
    std::random_device random;
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "." + string.
    std::string prefix = ".";
    prefix += target.filename().string();
    prefix += ".tmp-" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = ParentFolder(target) / (prefix + std::to_string(random()));
      fd_ = FileDescriptor(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
      if (fd_) {
        return;
      }
      if (errno != EEXIST) {
        RaiseFileError("cannot create temporary file", path_, errno);
      }
    }
    RaiseFileError("cannot create temporary file", path_, EEXIST);
  }
  ~StagingFile() {
    fd_.Close();
    if (!path_.empty()) {
      ::unlink(path_.c_str());
    }
  }
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;

  void Write(ByteView bytes) {
    WriteAll(fd_.get(), bytes, path_);
    FlushAndClose(fd_, path_);
  }
  const std::filesystem::path& path() const { return path_; }
  // The file now lives under the target's name: nothing to remove.
  void Release() { path_.clear(); }

 private:
  std::filesystem::path path_;
  FileDescriptor fd_;
};

// Whether two regular files hold the same bytes.
bool SameBytes(const std::filesystem::path& first, const std::filesystem::path& second) {
  std::ifstream one(first, std::ios::binary);
  std::ifstream other(second, std::ios::binary);
  if (!one || !other) {
    return false;
  }
  return std::equal(std::istreambuf_iterator<char>(one), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(other), std::istreambuf_iterator<char>());
}

}  // namespace

bool Exists(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}

void RaiseFileError(const std::string& what, const std::filesystem::path& path, int error) {
  throw ToolError(path.string() + ": " + what + ": " + SystemMessage(error));
}

void WriteAll(int fd, ByteView bytes, const std::filesystem::path& path) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (result < 0 && errno == EINTR) {
      continue;
    }
    if (result <= 0) {
      RaiseFileError("write failed", path, result < 0 ? errno : EIO);
    }
    written += static_cast<std::size_t>(result);
  }
}

void SyncFolder(const std::filesystem::path& folder) {
  FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    RaiseFileError("cannot open folder", folder, errno);
  }
  // Some file systems cannot sync a folder (EINVAL).
  if (::fsync(fd.get()) != 0 && errno != EINVAL) {
    RaiseFileError("flush failed", folder, errno);
  }
}

FileDescriptor::~FileDescriptor() { Close(); }

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool FileDescriptor::Close() noexcept {
  if (fd_ < 0) {
    return true;
  }
  return ::close(std::exchange(fd_, -1)) == 0;
}

namespace {

ByteBuffer ReadBoundedFile(const std::filesystem::path& path, std::uint64_t size_limit) {
  // O_NONBLOCK: a named pipe is refused below instead of waiting for a writer.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  // A folder is no release file; the launcher cannot open one either.
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw LauncherFailure(kReleaseFileNotOpened);
  }
  if (status.st_size < 0 || static_cast<std::uint64_t>(status.st_size) > size_limit) {
    throw LauncherFailure(kReleaseFileSizeInvalid);
  }
  ByteBuffer bytes(static_cast<std::size_t>(status.st_size));
  std::size_t read_so_far = 0;
  while (read_so_far < bytes.size()) {
    const ssize_t result = ::read(fd.get(), bytes.data() + read_so_far, bytes.size() - read_so_far);
    if (result < 0 && errno == EINTR) {
      continue;
    }
    if (result <= 0) {
      throw LauncherFailure(kReleaseFileNotRead);
    }
    read_so_far += static_cast<std::size_t>(result);
  }
  return bytes;
}

}  // namespace

ByteBuffer ReadNamedFile(const std::filesystem::path& path, std::uint64_t size_limit) {
  try {
    return ReadBoundedFile(path, size_limit);
  } catch (const LauncherFailure& failure) {
    throw ToolError(path.string() + ": " + failure.what());
  }
}

void CreateFolders(const std::filesystem::path& path, mode_t mode) {
  if (path.empty() || Exists(path)) {
    return;
  }
  CreateFolders(path.parent_path(), mode);
  if (::mkdir(path.c_str(), mode) != 0) {
    if (errno == EEXIST) {
      return;  // made by another process meanwhile
    }
    RaiseFileError("cannot create the folder", path, errno);
  }
  if (::chmod(path.c_str(), mode) != 0) {
    RaiseFileError("cannot set mode", path, errno);
  }
}

void CreateNewFile(const std::filesystem::path& path, ByteView bytes, mode_t mode) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd) {
    if (errno == EEXIST) {
      throw ToolError(path.string() + ": already exists; refusing to overwrite it");
    }
    RaiseFileError("cannot create", path, errno);
  }
  try {
    // The mode is exact whatever the umask says.
    if (::fchmod(fd.get(), mode) != 0) {
      RaiseFileError("cannot set mode", path, errno);
    }
    WriteAll(fd.get(), bytes, path);
    FlushAndClose(fd, path);
    SyncFolder(ParentFolder(path));
  } catch (...) {
    fd.Close();
    ::unlink(path.c_str());
    throw;
  }
}

void MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, Placement placement) {
  if (placement == Placement::kReplace) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      RaiseFileError("cannot move into place", to, errno);
    }
    SyncFolder(ParentFolder(to));
    return;
  }
  // An existing target may be the link of a run that was stopped before it removed `from`.
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (errno != EEXIST) {
      RaiseFileError("cannot move into place", to, errno);
    }
    if (!SameBytes(from, to)) {
      throw ToolError(to.string() + ": holds other bytes than " + from.string() +
                      ", which was to be moved there; nothing was replaced. Move one of them away, then try again");
    }
  }
  SyncFolder(ParentFolder(to));
  if (::unlink(from.c_str()) != 0) {
    RaiseFileError("cannot remove", from, errno);
  }
}

void ReplaceFileAtomically(const std::filesystem::path& target, ByteView bytes, mode_t mode) {
  StagingFile staging(target, mode);
  staging.Write(bytes);
  if (::rename(staging.path().c_str(), target.c_str()) != 0) {
    RaiseFileError("cannot rename into place", target, errno);
  }
  staging.Release();
  SyncFolder(ParentFolder(target));
}

}  // namespace qvs
