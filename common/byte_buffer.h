#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qvs {

// A whole file or response body held in memory.
using ByteBuffer = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

}  // namespace qvs
