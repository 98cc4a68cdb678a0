#pragma once

#include <filesystem>

namespace qvs {

inline constexpr wchar_t kShortcutDescription[] = L"Start an attended Quorvantis Support session";

// Writes a shell link at `shortcut_path` that opens `target` without arguments and shows its
// first icon. Raises only the standard library's "create_directories" error for the link's
// folder; any failure of the shell leaves the link unwritten without a report. COM must be
// initialised on the thread.
void WriteShortcut(const std::filesystem::path& shortcut_path, const std::filesystem::path& target);

}  // namespace qvs
