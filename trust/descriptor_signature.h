#pragma once

#include "common/byte_buffer.h"

namespace qvs {

// Checks the 64-byte ECDSA P-256 signature (r then s) over the SHA-256 of the descriptor's exact
// bytes against the built-in update key. Returns when trusted; raises a LauncherFailure otherwise.
void VerifyDescriptorSignature(ByteView descriptor, ByteView signature);

}  // namespace qvs
