#pragma once

#include <openssl/evp.h>

#include <string>

#include "common/byte_buffer.h"
#include "trust/digest_text.h"

namespace qvs {

Sha256Digest Sha256Of(ByteView bytes);
// "SHA256:" and the hex SHA-256 of a 72-byte public key blob: what `sha256sum update-key.pub`
// prints.
std::string KeyFingerprint(ByteView blob);

// ECDSA P-256 over SHA-256 of `descriptor`, exactly its bytes, as 64 bytes r||s. SigningKey::Sign
// checks the result against the public half, for a key in a file and in a token alike.
ByteBuffer SignDescriptor(EVP_PKEY* key, ByteView descriptor);

// Whether `signature` (r||s) is the key's signature of `descriptor`; false also for a signature
// that is not 64 bytes.
bool SignatureMatches(EVP_PKEY* key, ByteView descriptor, ByteView signature);

}  // namespace qvs
