#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qvs {

inline constexpr wchar_t kShortcutDescription[] = L"Start an attended Quorvantis Support session";

// What a shell link opens and shows, as IShellLinkW reports it.
struct ShortcutProperties {
  std::wstring target;
  std::wstring arguments;
  std::wstring working_directory;
  std::wstring description;
  std::wstring icon_path;
  int icon_index = -1;
  bool operator==(const ShortcutProperties&) const = default;
};

// The properties of the link that opens `target` without arguments and shows its first icon.
ShortcutProperties LauncherShortcut(const std::filesystem::path& target);

// The saved link's properties; nothing when it cannot be loaded. COM must be initialised.
std::optional<ShortcutProperties> ReadShortcut(const std::filesystem::path& shortcut_path);

// Makes the link at `shortcut_path` open `target` without arguments and show its first icon,
// creating the link's folder. A link that already opens and shows exactly that is left as it is:
// its bytes (which carry the target's times) are never rewritten, so a synced or protected
// Desktop sees no change at every start. Any failure, of the folder or of the shell, leaves the
// link as it was without a report. COM must be initialised on the thread.
void WriteShortcut(const std::filesystem::path& shortcut_path, const std::filesystem::path& target);

}  // namespace qvs
