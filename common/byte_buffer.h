#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace qvs {

// A whole file or response body held in memory.
using ByteBuffer = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The bytes of a text as they stand, without a terminator.
inline ByteView AsBytes(std::string_view text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace qvs
