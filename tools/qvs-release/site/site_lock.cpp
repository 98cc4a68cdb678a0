#include "tools/qvs-release/site/site_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "tools/qvs-release/base/interruption.h"
#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);

}  // namespace

SiteLock::SiteLock(const std::filesystem::path& site, LockMode mode, std::chrono::milliseconds bound,
                   const std::function<void()>& waiting) {
  const std::filesystem::path path = site / kSiteLockFileName;
  const bool exclusive = mode == LockMode::kExclusive;
  // Without blocking: a named pipe in the lock's place would otherwise wait for a writer for ever.
  fd_ = FileDescriptor(
      ::open(path.c_str(), (exclusive ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
  if (!fd_) {
    if (!exclusive && errno == ENOENT) {
      return;
    }
    throw ToolError(path.string() + ": cannot open the site's lock file: " + std::strerror(errno));
  }
  struct stat status {};
  if (::fstat(fd_.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw ToolError(path.string() + ": the site's lock file is not a regular file; remove it, then try again");
  }
  const auto deadline = std::chrono::steady_clock::now() + bound;
  bool announced = false;
  // Polled rather than blocking, so that the wait has a bound and Ctrl-C ends it.
  while (::flock(fd_.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      throw ToolError(path.string() + ": cannot lock: " + std::strerror(errno));
    }
    ThrowIfInterrupted();
    if (std::chrono::steady_clock::now() >= deadline) {
      throw ToolError(path.string() + ": another qvs-release has held this site's lock for " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) +
                      " seconds; nothing was changed. Try again when it has finished (fuser shows who holds it)");
    }
    if (!announced && waiting) {
      waiting();
      announced = true;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace qvs
