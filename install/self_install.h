#pragma once

#include <filesystem>

namespace qvs {

inline constexpr wchar_t kInstalledLauncherName[] = L"QuorvantisSupport.exe";
inline constexpr wchar_t kShortcutFileName[] = L"Quorvantis Support.lnk";
inline constexpr wchar_t kStartMenuFolderName[] = L"Quorvantis Software";

// Copies the running launcher over `installed_launcher_path` through its staging file unless it
// already runs from there, then writes the desktop and Start Menu shortcuts afresh. Raises a
// LauncherFailure or the standard library's "create_directories" or "copy_file" error.
void InstallLauncher(const std::filesystem::path& installed_launcher_path);

}  // namespace qvs
