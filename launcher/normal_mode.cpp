#include "launcher/normal_mode.h"

#include <exception>
#include <filesystem>

#include "files/known_folders.h"
#include "files/launcher_path.h"
#include "install/self_install.h"
#include "install/start_executable.h"
#include "launcher/data_folder_lock.h"
#include "store/cached_release.h"
#include "store/release_refresh.h"

namespace qvs {
namespace {

std::filesystem::path ProvenHostPath(const std::filesystem::path& data_folder) {
  try {
    return RefreshRelease(data_folder);
  } catch (...) {
    // Whatever stopped the refresh, a release stored earlier and proven again may still start;
    // when none is usable, the user learns why the refresh failed.
    const std::exception_ptr refresh_failure = std::current_exception();
    std::filesystem::path host_path = SelectCachedRelease(data_folder);
    if (host_path.empty()) {
      std::rethrow_exception(refresh_failure);
    }
    return host_path;
  }
}

}  // namespace

void RunNormalMode() {
  const std::filesystem::path data_folder = GetDataFolder();
  const std::filesystem::path installed_launcher_path = data_folder / kInstalledLauncherName;

  std::filesystem::path to_start;
  {
    // The turn ends before anything is started (or a failure is shown), so no launcher waits
    // for one it started itself.
    DataFolderLock lock;
    InstallLauncher(installed_launcher_path, [&lock] { return lock.PassTurn(); });
    // A launcher started from anywhere else hands over to the installed copy, which does the rest.
    to_start = IsSameLauncherPath(GetLauncherPath(), installed_launcher_path) ? ProvenHostPath(data_folder)
                                                                              : installed_launcher_path;
  }
  StartExecutable(to_start);
}

}  // namespace qvs
