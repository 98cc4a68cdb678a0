#pragma once

#include <filesystem>

namespace qvs {

// The running executable's full path as Windows reports it (which may be a short 8.3 name or a
// "\\?\" path). Raises a LauncherFailure.
std::filesystem::path GetLauncherPath();

// Whether the running launcher is the installed copy: the same file, told by the volume's serial
// number and the file's ID, however the path is spelled (another letter case, an 8.3 name, a
// "\\?\" prefix, a junction or link on the way). When either file cannot be opened (the installed
// copy does not exist yet), by spelling: both paths made absolute and normal, the letters A to Z
// matching either case, every other code unit only itself.
bool IsSameLauncherPath(const std::filesystem::path& launcher_path,
                        const std::filesystem::path& installed_launcher_path);

}  // namespace qvs
