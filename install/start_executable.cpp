#include "install/start_executable.h"

#include <windows.h>
#include <shellapi.h>

#include "common/failure_sentences.h"
#include "common/kernel_handle.h"
#include "common/launcher_failure.h"

namespace qvs {

void StartExecutable(const std::filesystem::path& path) {
  // Its own folder, never the launcher's: a first start runs in the Downloads folder, where a
  // planted DLL would be found through the started program's current folder.
  const std::wstring folder = path.parent_path().native();
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  // The start is complete when the call returns, and the shell shows no dialog of its own: the
  // launcher's one error dialog reports the failure. The process handle is kept to pass the
  // foreground on.
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = path.c_str();
  info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExW(&info)) {
    throw LauncherFailure(kHostNotStarted);
  }
  const ScopedKernelHandle process(info.hProcess);
  // Windows lets a process take the foreground only when the foreground process allows it. The
  // user started this launcher from the foreground (Explorer, a browser); without this leave the
  // host's window, or the installed copy's dialog, would open behind it. Best effort: a host
  // started without a process handle, or a refusal, still runs.
  if (process) {
    ::AllowSetForegroundWindow(::GetProcessId(process.get()));
  }
}

}  // namespace qvs
