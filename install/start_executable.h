#pragma once

#include <filesystem>

namespace qvs {

// Asks the shell to start the executable at `path` without arguments, in the current folder,
// and returns without waiting for it. Raises a LauncherFailure when the shell refuses.
void StartExecutable(const std::filesystem::path& path);

}  // namespace qvs
