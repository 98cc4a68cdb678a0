#include "install/self_install.h"

#include <windows.h>
#include <knownfolders.h>

#include <system_error>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "files/atomic_file.h"
#include "files/known_folders.h"
#include "files/launcher_path.h"
#include "install/shortcut.h"

namespace qvs {
namespace {

// mingw's libstdc++ refuses overwrite_existing on Windows ("File exists": inode numbers are all
// 0), so a leftover staging file is removed first. The copy takes the file's data alone, never the
// download's alternate data streams: its Zone.Identifier mark would warn at every start from a
// shortcut. A copy refused by another program's short hold is tried again; one that still fails
// keeps the standard library's own "copy_file" error. The copy is then forced to disk through a
// handle of its own.
ScopedFileHandle CopyOverLeftover(const std::filesystem::path& from, const std::filesystem::path& to) {
  HoldPatience patience;
  for (;;) {
    RemoveFileBestEffort(to);
    std::error_code error;
    if (std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error)) {
      break;
    }
    // A leftover whose deletion waits for a scanner's handle keeps its name for that moment.
    const bool held = error == std::errc::permission_denied || error == std::errc::file_exists;
    if (!patience.PauseAfter(held)) {
      throw std::filesystem::filesystem_error("cannot copy file", from, to, error);
    }
  }
  return OpenForWriting(to, kInstallFailed);
}

// A shortcut is a convenience: a folder that the shell cannot hand out (an unavailable redirected
// Desktop or Start Menu) leaves that shortcut unwritten, and the launcher goes on to start the host.
void WriteShortcutInto(const KNOWNFOLDERID& folder, const std::filesystem::path& relative_path,
                       const std::filesystem::path& target) {
  std::filesystem::path shortcut_path;
  try {
    shortcut_path = GetKnownFolder(folder) / relative_path;
  } catch (const LauncherFailure&) {
    return;
  }
  WriteShortcut(shortcut_path, target);
}

}  // namespace

void InstallLauncher(const std::filesystem::path& installed_launcher_path,
                     const WaitForInstalledCopy& wait_for_installed_copy) {
  const std::filesystem::path launcher = GetLauncherPath();
  // No content or version comparison: a launcher started elsewhere always replaces the copy.
  if (!IsSameLauncherPath(launcher, installed_launcher_path)) {
    // The installed copy is what every shortcut starts: never rename an unwritten one into place.
    ReplaceThroughStaging(
        installed_launcher_path,
        [&launcher](const std::filesystem::path& staging) { return CopyOverLeftover(launcher, staging); },
        {.not_flushed = kInstallFailed, .not_moved = kInstallFailed, .wait_when_held_open = wait_for_installed_copy});
  }
  // Written on every run, so a deleted or altered shortcut comes back at the next start.
  WriteShortcutInto(FOLDERID_Desktop, kShortcutFileName, installed_launcher_path);
  WriteShortcutInto(FOLDERID_Programs, std::filesystem::path(kStartMenuFolderName) / kShortcutFileName,
                    installed_launcher_path);
}

}  // namespace qvs
