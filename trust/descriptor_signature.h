#pragma once

#include "common/byte_buffer.h"
#include "trust/log_proof.h"

namespace qvs {

// Checks the 64-byte ECDSA P-256 signature (r then s) over the SHA-256 of the descriptor's exact
// bytes against the built-in update key. Returns when trusted; raises a LauncherFailure otherwise.
void VerifyDescriptorSignature(ByteView descriptor, ByteView signature);

// The built-in release log key, for a launcher built with one: its origin, its key id (from the
// key's SubjectPublicKeyInfo, hashed by CNG) and its check, which raises only when the check cannot
// be made at all (no CNG, a key CNG refuses).
LogTrust BuiltInLogTrust();

}  // namespace qvs
