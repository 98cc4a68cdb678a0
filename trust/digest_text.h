#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qvs {

using Sha256Digest = std::array<std::uint8_t, 32>;

// 64 lower-case hexadecimal characters, high four bits first.
std::string ToDigestText(const Sha256Digest& digest);

}  // namespace qvs
