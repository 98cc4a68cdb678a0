#pragma once

#include <filesystem>

namespace qvs {

// Brings the release store in `data_folder` up to the release the update service publishes and
// returns the path of its proven support host. Writes the package (unless a matching copy is
// stored), then "stable.manifest", "stable.manifest.sig" and, last, "current.txt". Catches
// nothing: the failing step's failure reaches the caller unchanged.
std::filesystem::path RefreshRelease(const std::filesystem::path& data_folder);

}  // namespace qvs
