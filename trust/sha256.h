#pragma once

#include "common/byte_buffer.h"
#include "trust/digest_text.h"

namespace qvs {

// SHA-256 of the bytes, computed by the platform's CNG in one call. Raises a LauncherFailure.
Sha256Digest ComputeSha256(ByteView bytes);

}  // namespace qvs
