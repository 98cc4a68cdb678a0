#include <windows.h>
#include <shellapi.h>

#include <exception>

#include "common/com_apartment.h"
#include "common/failure_sentences.h"
#include "common/scope_guard.h"
#include "common/system_library.h"
#include "launcher/error_dialog.h"
#include "launcher/launch_mode.h"
#include "launcher/normal_mode.h"
#include "launcher/package_verification.h"

namespace {

constexpr int kStarted = 0;
constexpr int kFailed = 1;

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything can load a DLL: never from the (possibly Downloads) application folder.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Wine resolves the imports of libraries that WinHTTP loads late (crypt32 importing bcrypt)
  // through the application folder all the same. A library of that name already loaded from
  // System32 is what every later load by name gets, so the ones the update path needs stay
  // loaded for the whole run.
  const qvs::SystemLibrary pinned_bcrypt(L"bcrypt.dll");
  const qvs::SystemLibrary pinned_crypt32(L"crypt32.dll");
  const qvs::SystemLibrary pinned_winhttp(L"winhttp.dll");

  // The shell calls of normal mode need the apartment.
  const qvs::ComApartment com;

  int argc = 0;
  const qvs::ScopedHandle<LPWSTR*, qvs::ReleaseWith<::LocalFree>> argv(
      ::CommandLineToArgvW(::GetCommandLineW(), &argc));
  if (!argv) {
    return kFailed;
  }

  const qvs::LaunchMode mode = qvs::ChooseLaunchMode(argc, argv.get());
  try {
    if (mode == qvs::LaunchMode::kVerification) {
      return qvs::RunPackageVerification(argc, argv.get());
    }
    qvs::RunNormalMode();
    return kStarted;
  } catch (const std::exception& failure) {
    // Verification mode answers by exit code alone.
    if (mode == qvs::LaunchMode::kNormal) {
      qvs::ShowErrorDialog(failure.what());
    }
    return kFailed;
  } catch (...) {
    // Nothing here throws anything else; should it ever, it ends as a failure, not a crash.
    if (mode == qvs::LaunchMode::kNormal) {
      qvs::ShowErrorDialog(qvs::kLauncherFailedUnexpectedly);
    }
    return kFailed;
  }
}
