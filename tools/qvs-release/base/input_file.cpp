#include "tools/qvs-release/base/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

// What a non-regular file is, in the words a publisher would use.
const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) {
    return "is a folder";
  }
  if (S_ISFIFO(mode)) {
    return "is a named pipe (FIFO)";
  }
  if (S_ISCHR(mode)) {
    return "is a character device";
  }
  if (S_ISBLK(mode)) {
    return "is a block device";
  }
  if (S_ISSOCK(mode)) {
    return "is a socket";
  }
  return "is a special file";
}

}  // namespace

InputFile::InputFile(std::filesystem::path path, std::string what) : path_(std::move(path)), what_(std::move(what)) {
  // The type first, from the name alone: a device or a pipe is never opened.
  struct stat status {};
  if (::stat(path_.c_str(), &status) != 0) {
    Refuse(std::string("could not be opened: ") + std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    Refuse(std::string(KindOf(status.st_mode)) + ", not a regular file");
  }
  // O_NONBLOCK: should a pipe have taken the file's place meanwhile, opening it does not wait.
  fd_ = FileDescriptor(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd_) {
    Refuse(std::string("could not be opened: ") + std::strerror(errno));
  }
  if (::fstat(fd_.get(), &status) != 0) {
    Refuse(std::string("could not be examined: ") + std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    Refuse(std::string(KindOf(status.st_mode)) + ", not a regular file");
  }
  size_ = static_cast<std::uint64_t>(status.st_size);
}

void InputFile::Refuse(const std::string& reason) const {
  throw ToolError(what_ + " " + path_.string() + ": " + reason);
}

ByteBuffer InputFile::ReadAll() {
  ByteBuffer bytes(static_cast<std::size_t>(size_));
  std::size_t done = 0;
  // One byte past the size shows a file that grew meanwhile.
  std::uint8_t probe = 0;
  while (true) {
    std::uint8_t* into = done < bytes.size() ? bytes.data() + done : &probe;
    const std::size_t wanted = done < bytes.size() ? bytes.size() - done : 1;
    const ssize_t result = ::read(fd_.get(), into, wanted);
    if (result < 0 && errno == EINTR) {
      continue;
    }
    if (result < 0) {
      Refuse(std::string("could not be read: ") + std::strerror(errno));
    }
    if (result == 0 && done == bytes.size()) {
      return bytes;
    }
    if (result == 0 || done == bytes.size()) {
      Refuse("changed while it was read; try again when nothing writes to it");
    }
    done += static_cast<std::size_t>(result);
  }
}

ByteBuffer ReadInputFile(const std::filesystem::path& path, const std::string& what, std::uint64_t size_limit) {
  InputFile file(path, what);
  if (file.size() == 0) {
    file.Refuse("is empty");
  }
  if (file.size() > size_limit) {
    file.Refuse("holds " + std::to_string(file.size()) + " bytes, more than the " + std::to_string(size_limit) +
                " it may have");
  }
  return file.ReadAll();
}

}  // namespace qvs
