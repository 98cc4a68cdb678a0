#pragma once

#include <string_view>

#include "common/byte_buffer.h"

namespace qvs::testing {

// Signs bytes with the committed test-only private key through CNG: 64 bytes, r then s.
ByteBuffer SignWithTestKey(ByteView message);

// Signs bytes with a fresh P-256 key that the launcher does not trust.
ByteBuffer SignWithUntrustedKey(ByteView message);

ByteBuffer BytesOf(std::string_view text);

}  // namespace qvs::testing
