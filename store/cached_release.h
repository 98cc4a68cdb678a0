#pragma once

#include <filesystem>

namespace qvs {

// The host path of the release stored in `data_folder`, proven again from the signature down to
// the package's digest, or the empty path when no usable release is stored. Never raises and
// never writes.
std::filesystem::path SelectCachedRelease(const std::filesystem::path& data_folder) noexcept;

}  // namespace qvs
