#pragma once

#include <cstdint>

namespace qvs {

// True when `announced` more bytes would take a body of `current` bytes past the inclusive
// `limit`. The first comparison keeps the subtraction from wrapping.
constexpr bool ExceedsSizeLimit(std::uint64_t current, std::uint64_t announced, std::uint64_t limit) noexcept {
  return announced > limit || current > limit - announced;
}

}  // namespace qvs
