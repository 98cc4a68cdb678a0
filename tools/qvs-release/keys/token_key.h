#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "common/byte_buffer.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing_key.h"

namespace qvs {

// The P-256 key a "pkcs11:" URI names, in a token of the module that access.pkcs11_module names
// (else $QVS_PKCS11_MODULE), logged in with the PIN from access.pin_file or asked on the terminal. It signs inside the
// token (CKM_ECDSA over the SHA-256 digest); its public half comes from the public key object with the same id. Raises
// ToolError naming what is missing or wrong: the module, the token, the PIN, the key, or a key that is not ECDSA P-256.
std::unique_ptr<SigningKey> OpenTokenKey(const std::string& uri, const KeyAccess& access);

struct TokenKeyPair {
  std::string token;   // the token's label
  std::string object;  // the key's label
  std::string id;      // in hex
  ByteBuffer public_blob;
};

// keygen in a token: a new P-256 key pair made inside the token the URI names (which must give
// token= and object=), the private half sensitive and never extractable, under the URI's label and
// id (or a random id); its public half written to `public_key` as the 72-byte blob, or in the form
// `form` makes of the blob (a log verifier key). Refuses an
// existing `public_key` and a label or id that the token already holds; takes the key pair back
// out of the token when the blob cannot be written.
using PublicFileForm = std::function<ByteBuffer(const ByteBuffer& blob)>;
TokenKeyPair CreateTokenKeyPair(const std::string& uri, const std::filesystem::path& public_key,
                                const KeyAccess& access, const PublicFileForm& form = {});

}  // namespace qvs
