#pragma once

#include "common/byte_buffer.h"

namespace qvs::testing {

// Signs bytes with the committed test-only private key through CNG: 64 bytes, r then s.
ByteBuffer SignWithTestKey(ByteView message);

// Signs bytes with a fresh P-256 key that the launcher does not trust.
ByteBuffer SignWithUntrustedKey(ByteView message);

}  // namespace qvs::testing
