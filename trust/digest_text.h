#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/byte_buffer.h"

namespace qvs {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Two lower-case hexadecimal characters a byte, high four bits first.
std::string ToHexText(ByteView bytes);

// The digest's 64 characters of ToHexText.
std::string ToDigestText(const Sha256Digest& digest);

}  // namespace qvs
