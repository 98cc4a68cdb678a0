#include "launcher/normal_mode.h"

#include <exception>
#include <filesystem>

#include "install/self_install.h"
#include "install/start_executable.h"
#include "store/cached_release.h"
#include "store/known_folders.h"
#include "store/launcher_path.h"
#include "store/release_refresh.h"

namespace qvs {

void RunNormalMode() {
  const std::filesystem::path data_folder = GetDataFolder();
  const std::filesystem::path installed_launcher_path = data_folder / kInstalledLauncherName;
  InstallLauncher(installed_launcher_path);

  // A launcher started from anywhere else hands over to the installed copy, which does the rest.
  if (!IsSameLauncherPath(GetLauncherPath(), installed_launcher_path)) {
    StartExecutable(installed_launcher_path);
    return;
  }

  std::filesystem::path host_path;
  try {
    host_path = RefreshRelease(data_folder);
  } catch (...) {
    // Whatever stopped the refresh, a release stored earlier and proven again may still start;
    // when none is usable, the user learns why the refresh failed.
    const std::exception_ptr refresh_failure = std::current_exception();
    host_path = SelectCachedRelease(data_folder);
    if (host_path.empty()) {
      std::rethrow_exception(refresh_failure);
    }
  }
  StartExecutable(host_path);
}

}  // namespace qvs
