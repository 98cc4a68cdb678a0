#include "files/known_folders.h"

#include <knownfolders.h>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "common/scope_guard.h"

namespace qvs {

std::filesystem::path GetKnownFolder(const KNOWNFOLDERID& id) {
  // The shell may hand out a buffer even when it fails; the guard frees it on both paths.
  ScopedHandle<PWSTR, ReleaseWith<::CoTaskMemFree>> text;
  if (FAILED(::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, text.receive())) || !text) {
    throw LauncherFailure(kWindowsFolderUnavailable);
  }
  return std::filesystem::path(text.get());
}

std::filesystem::path GetDataFolder() {
  std::filesystem::path folder = GetKnownFolder(FOLDERID_LocalAppData) / L"Quorvantis Software" / L"QVS Support";
  std::filesystem::create_directories(folder);
  return folder;
}

}  // namespace qvs
