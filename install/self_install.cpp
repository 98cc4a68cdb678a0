#include "install/self_install.h"

#include <windows.h>
#include <knownfolders.h>

#include <system_error>

#include "common/launcher_failure.h"
#include "install/shortcut.h"
#include "store/atomic_file.h"
#include "store/known_folders.h"
#include "store/launcher_path.h"

namespace qvs {
namespace {

// mingw's libstdc++ refuses overwrite_existing on Windows ("File exists": inode numbers are all
// 0), so a leftover staging file is removed first; a copy that still fails keeps the standard
// library's own "copy_file" error.
void CopyOverLeftover(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code ignored;
  std::filesystem::remove(to, ignored);
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

void CopyLauncher(const std::filesystem::path& launcher, const std::filesystem::path& installed_launcher_path,
                  const WaitForInstalledCopy& wait_for_installed_copy) {
  std::filesystem::create_directories(installed_launcher_path.parent_path());
  const std::filesystem::path staging = StagingPath(installed_launcher_path);
  for (;;) {
    // Made afresh on every attempt: while this launcher waited, another one may have used the
    // staging file for its own copy.
    CopyOverLeftover(launcher, staging);
    // The installed copy is what every shortcut starts: never rename an unwritten one into place.
    ForceToDisk(staging, "The launcher could not install itself.");
    if (::MoveFileExW(staging.c_str(), installed_launcher_path.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return;
    }
    if (!wait_for_installed_copy || !IsHeldOpenElsewhere(installed_launcher_path) || !wait_for_installed_copy()) {
      throw LauncherFailure("The launcher could not install itself.");
    }
  }
}

}  // namespace

void InstallLauncher(const std::filesystem::path& installed_launcher_path,
                     const WaitForInstalledCopy& wait_for_installed_copy) {
  const std::filesystem::path launcher = GetLauncherPath();
  // No content or version comparison: a launcher started elsewhere always replaces the copy.
  if (!IsSameLauncherPath(launcher, installed_launcher_path)) {
    CopyLauncher(launcher, installed_launcher_path, wait_for_installed_copy);
  }
  // Written on every run, so a deleted or altered shortcut comes back at the next start.
  WriteShortcut(GetKnownFolder(FOLDERID_Desktop) / kShortcutFileName, installed_launcher_path);
  WriteShortcut(GetKnownFolder(FOLDERID_Programs) / kStartMenuFolderName / kShortcutFileName, installed_launcher_path);
}

}  // namespace qvs
