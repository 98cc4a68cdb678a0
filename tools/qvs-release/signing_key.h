#pragma once

#include <memory>
#include <string>

#include "common/byte_buffer.h"
#include "tools/qvs-release/key_files.h"
#include "tools/qvs-release/openssl_handles.h"

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

// What can be told of --private-key without opening the key (no passphrase or PIN asked, nothing
// decrypted): the options that go with its kind, a URI that parses, a readable PEM file with a
// private key's label. Raises like OpenSigningKey.
void CheckSigningKeyLocation(const std::string& location, const KeyAccess& access = {});

// Opens the key --private-key names: a "pkcs11:" URI is a key in a token (token_key.h), anything
// else a PEM file (key_files.h). Raises UsageError for an option that does not belong to that kind
// of key, ToolError for a key that cannot be opened.
std::unique_ptr<SigningKey> OpenSigningKey(const std::string& location, const KeyAccess& access = {});

}  // namespace qvs
