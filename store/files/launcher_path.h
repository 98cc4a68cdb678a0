#pragma once

#include <filesystem>

namespace qvs {

// The running executable's full path in weakly canonical form. Raises a LauncherFailure, or the
// standard library's "weakly_canonical" error.
std::filesystem::path GetLauncherPath();

// Whether the running launcher is the installed copy. Both paths are brought to weakly canonical
// form first, so a data folder reached through a link or junction still compares equal; the
// letters A to Z match either case, every other code unit only itself. Raises the standard
// library's "weakly_canonical" error.
bool IsSameLauncherPath(const std::filesystem::path& launcher_path,
                        const std::filesystem::path& installed_launcher_path);

}  // namespace qvs
