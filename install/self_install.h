#pragma once

#include <filesystem>
#include <functional>

namespace qvs {

inline constexpr wchar_t kInstalledLauncherName[] = L"QuorvantisSupport.exe";
inline constexpr wchar_t kShortcutFileName[] = L"Quorvantis Support.lnk";
inline constexpr wchar_t kStartMenuFolderName[] = L"Quorvantis Software";

// Asked when the installed copy cannot be replaced because a launcher started a moment earlier
// still runs it: gives that launcher its turn and answers whether to try the copy again.
using WaitForInstalledCopy = std::function<bool()>;

// Copies the running launcher over `installed_launcher_path` through its staging file unless it
// already runs from there, then writes the desktop and Start Menu shortcuts afresh. Without
// `wait_for_installed_copy` a running installed copy fails the copy at once. Raises a
// LauncherFailure or the standard library's "create_directories" or "copy_file" error for the
// installed copy; a shortcut that cannot be written, its folder included, is left out silently.
void InstallLauncher(const std::filesystem::path& installed_launcher_path,
                     const WaitForInstalledCopy& wait_for_installed_copy = {});

}  // namespace qvs
