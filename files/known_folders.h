#pragma once

#include <windows.h>
#include <shlobj.h>

#include <filesystem>

namespace qvs {

// The path of a per-user shell folder, created by the shell if missing. Raises a LauncherFailure.
std::filesystem::path GetKnownFolder(const KNOWNFOLDERID& id);

// The user's local application data followed by "Quorvantis Software" and "QVS Support", created
// with every missing parent. Returned as composed, not canonicalised.
std::filesystem::path GetDataFolder();

}  // namespace qvs
