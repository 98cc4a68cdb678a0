#pragma once

#include <filesystem>

namespace qvs {

inline constexpr wchar_t kShortcutDescription[] = L"Start an attended Quorvantis Support session";

// Writes a shell link at `shortcut_path` that opens `target` without arguments and shows its
// first icon, creating the link's folder. Any failure, of the folder or of the shell, leaves the
// link unwritten without a report. COM must be initialised on the thread.
void WriteShortcut(const std::filesystem::path& shortcut_path, const std::filesystem::path& target);

}  // namespace qvs
