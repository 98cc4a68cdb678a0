#pragma once

#include <memory>
#include <string>

#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing_key.h"

namespace qvs {

// Where --private-key leads: a "pkcs11:" URI to a key in a token (token_key.h), anything else to
// a PEM file (key_files.h).

// What can be told of --private-key without opening the key (no passphrase or PIN asked, nothing
// decrypted): the options that go with its kind, a URI that parses, a readable PEM file with a
// private key's label. Raises like OpenSigningKey.
void CheckSigningKeyLocation(const std::string& location, const KeyAccess& access = {});

// Opens the key --private-key names: a "pkcs11:" URI is a key in a token (token_key.h), anything
// else a PEM file (key_files.h). Raises UsageError for an option that does not belong to that kind
// of key, ToolError for a key that cannot be opened.
std::unique_ptr<SigningKey> OpenSigningKey(const std::string& location, const KeyAccess& access = {});

}  // namespace qvs
