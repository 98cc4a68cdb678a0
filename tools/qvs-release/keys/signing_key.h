#pragma once

#include <memory>
#include <string>

#include "common/byte_buffer.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/openssl_handles.h"

namespace qvs {

// The update-signing key, wherever it is kept: a PEM file or a token. Gives its public half, so
// that a key is checked against the site's and the launchers' key before it signs anything.
class SigningKey {
 public:
  virtual ~SigningKey() = default;
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  // Where the key is kept, for messages: the file's path or the pkcs11: URI.
  const std::string& name() const { return name_; }
  // The public half as the 72-byte blob, and as a key for checking signatures.
  const ByteBuffer& public_blob() const { return public_blob_; }
  EVP_PKEY* public_key() const { return public_key_.get(); }

  // ECDSA P-256 over SHA-256 of `message`, exactly its bytes, as 64 bytes r||s (the launcher's
  // form). Raises ToolError unless the result verifies with the public half.
  ByteBuffer Sign(ByteView message);

 protected:
  // Raises ToolError naming the key unless `public_blob` is a P-256 public key blob.
  SigningKey(std::string name, ByteBuffer public_blob);

 private:
  virtual ByteBuffer SignRaw(ByteView message) = 0;

  std::string name_;
  ByteBuffer public_blob_;
  ScopedPkey public_key_;
};

}  // namespace qvs
