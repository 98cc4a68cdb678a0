#pragma once

#include <cstdint>
#include <filesystem>

#include "common/byte_buffer.h"

namespace qvs {

// Reads a whole release file (descriptor, signature or package) into memory, refusing one larger
// than `size_limit` bytes before anything is read. Raises a LauncherFailure.
ByteBuffer ReadReleaseFile(const std::filesystem::path& path, std::uint64_t size_limit);

}  // namespace qvs
