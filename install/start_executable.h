#pragma once

#include <filesystem>

namespace qvs {

// Asks the shell to start the executable at `path` without arguments, in its own folder, lets it
// take the foreground, and returns without waiting for it. Raises a LauncherFailure when the
// shell refuses.
void StartExecutable(const std::filesystem::path& path);

}  // namespace qvs
