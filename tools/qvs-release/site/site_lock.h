#pragma once

#include <chrono>
#include <filesystem>
#include <functional>

#include "common/site_layout.h"
#include "tools/qvs-release/base/posix_file.h"

namespace qvs {

// One publish at a time per site: an advisory lock (flock) on kSiteLockFileName in the site's root.

enum class LockMode {
  kExclusive,  // publish: creates the lock file when needed
  kShared,     // verify-site: waits for a running publish; a site without a lock file is not locked
};

class SiteLock {
 public:
  // Waits at most `bound` for other holders, calling `waiting` once when it has to wait. Raises
  // ToolError when the bound passes and Interrupted when a signal arrives meanwhile.
  SiteLock(const std::filesystem::path& site, LockMode mode, std::chrono::milliseconds bound,
           const std::function<void()>& waiting);

 private:
  FileDescriptor fd_;
};

}  // namespace qvs
