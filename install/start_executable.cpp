#include "install/start_executable.h"

#include <windows.h>
#include <shellapi.h>

#include "common/launcher_failure.h"

namespace qvs {

void StartExecutable(const std::filesystem::path& path) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  // The start is complete when the call returns, and the shell shows no dialog of its own: the
  // launcher's one error dialog reports the failure.
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpFile = path.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExW(&info)) {
    throw LauncherFailure("The attended support host could not be started.");
  }
}

}  // namespace qvs
