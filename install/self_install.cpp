#include "install/self_install.h"

#include <windows.h>
#include <knownfolders.h>

#include <system_error>

#include "common/launcher_failure.h"
#include "install/shortcut.h"
#include "store/files/atomic_file.h"
#include "store/files/known_folders.h"
#include "store/files/launcher_path.h"

namespace qvs {
namespace {

constexpr char kNotInstalled[] = "The launcher could not install itself.";

// mingw's libstdc++ refuses overwrite_existing on Windows ("File exists": inode numbers are all
// 0), so a leftover staging file is removed first; a copy that still fails keeps the standard
// library's own "copy_file" error. The copy is then forced to disk through a handle of its own.
ScopedFileHandle CopyOverLeftover(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code ignored;
  std::filesystem::remove(to, ignored);
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
  return OpenForWriting(to, kNotInstalled);
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
        {.not_flushed = kNotInstalled,
         .not_moved = kNotInstalled,
         .keep_staging_after_failed_move = true,
         .wait_when_held_open = wait_for_installed_copy});
  }
  // Written on every run, so a deleted or altered shortcut comes back at the next start.
  WriteShortcut(GetKnownFolder(FOLDERID_Desktop) / kShortcutFileName, installed_launcher_path);
  WriteShortcut(GetKnownFolder(FOLDERID_Programs) / kStartMenuFolderName / kShortcutFileName, installed_launcher_path);
}

}  // namespace qvs
