#pragma once

#include <filesystem>

#include "common/byte_buffer.h"
#include "tools/qvs-release/openssl_handles.h"

namespace qvs {

// The 72-byte public key blob the launcher is built with: "ECS1", 32 (little-endian), X, Y.
inline constexpr std::size_t kPublicKeyBlobSize = 72;

ScopedPkey GenerateSigningKey();

// The private key as unencrypted PKCS#8 PEM.
std::string PrivateKeyPem(EVP_PKEY* key);
ByteBuffer PublicKeyBlob(EVP_PKEY* key);
// Raises ToolError unless `blob` is a 72-byte blob of a point on P-256.
ScopedPkey PublicKeyFromBlob(ByteView blob);

// Reads a P-256 private key from a PEM file; raises ToolError naming the file.
ScopedPkey LoadPrivateKey(const std::filesystem::path& path);
ScopedPkey LoadPublicKeyBlob(const std::filesystem::path& path);

// A new key pair: the private key as PEM with mode 0600, the public blob beside it. Refuses to
// overwrite either file and leaves neither behind when it fails.
void WriteNewKeyPair(const std::filesystem::path& private_key, const std::filesystem::path& public_key);

}  // namespace qvs
