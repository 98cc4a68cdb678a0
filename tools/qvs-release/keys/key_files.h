#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/byte_buffer.h"
#include "tools/qvs-release/keys/openssl_handles.h"

namespace qvs {

// The 72-byte public key blob the launcher is built with: "ECS1", 32 (little-endian), X, Y.
inline constexpr std::size_t kPublicKeyBlobSize = 72;
// The largest private key file read.
inline constexpr std::uint64_t kPrivateKeyFileLimit = 64 * 1024;

ScopedPkey GenerateSigningKey();

ByteBuffer PublicKeyBlob(EVP_PKEY* key);
// Raises ToolError unless `blob` is a 72-byte blob of a point on P-256.
ScopedPkey PublicKeyFromBlob(ByteView blob);
// The blob of an uncompressed point (0x04, X, Y: 65 bytes); raises ToolError for another form.
ByteBuffer PublicKeyBlobFromPoint(ByteView point);

// Raises ToolError unless nothing (not even a dangling symlink) exists at `path`: new key files
// never replace anything.
void RequireNewFile(const std::filesystem::path& path);

// How to open a protected private key: where its passphrase or PIN comes from (empty: asked on the
// terminal) and the PKCS#11 module for a "pkcs11:" key.
struct KeyAccess {
  std::filesystem::path passphrase_file;
  std::filesystem::path pin_file;
  std::string pkcs11_module;  // empty: $QVS_PKCS11_MODULE
};

// A private key file's bytes, read as ReadInputFile reads them (`what` names the file in a refusal)
// and wiped when they go out of scope: unencrypted, they are the key itself.
class PrivateKeyFile {
 public:
  PrivateKeyFile(std::filesystem::path path, const std::string& what);
  ~PrivateKeyFile();
  PrivateKeyFile(const PrivateKeyFile&) = delete;
  PrivateKeyFile& operator=(const PrivateKeyFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string_view text() const { return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()}; }

 private:
  std::filesystem::path path_;
  ByteBuffer bytes_;
};

// Reads a private key of any kind from a PEM file, unencrypted or encrypted PKCS#8 (the passphrase
// from access.passphrase_file or asked on the terminal); raises ToolError naming the file.
ScopedPkey ReadPemPrivateKey(const PrivateKeyFile& file, const KeyAccess& access = {});
// Reads a P-256 private key from a PEM file, unencrypted or encrypted PKCS#8; raises ToolError
// naming the file.
ScopedPkey LoadPrivateKey(const std::filesystem::path& path, const KeyAccess& access = {});
// The 72-byte public key blob in the file at `path` (--public-key, a site's key file), checked to be
// a point on P-256, as bytes or as a key; raises ToolError "public key PATH: ...".
ByteBuffer ReadPublicKeyBlob(const std::filesystem::path& path);
ScopedPkey LoadPublicKeyBlob(const std::filesystem::path& path);

// Makes a new key: returns it, with the bytes of its public file and a text to write ahead of the
// PEM block (or none).
using NewKeyMaker = std::function<ScopedPkey(ByteBuffer& public_bytes, std::string& pem_preamble)>;
// Writes a new key's files: the private key as PEM with mode 0600 (encrypted as WriteNewKeyPair
// says), its public file beside it. Refuses to overwrite either and leaves neither behind when it
// fails.
void WriteNewKeyFiles(const std::filesystem::path& private_key, const std::filesystem::path& public_key, bool encrypt,
                      const KeyAccess& access, const NewKeyMaker& make);

// A new key pair: the private key as PEM with mode 0600, the public blob beside it. Refuses to
// overwrite either file and leaves neither behind when it fails.
// With `encrypt`, the PEM is encrypted PKCS#8 (AES-256-CBC, its key derived by scrypt) under a
// passphrase from access.passphrase_file or asked twice on the terminal.
void WriteNewKeyPair(const std::filesystem::path& private_key, const std::filesystem::path& public_key,
                     bool encrypt = false, const KeyAccess& access = {});

}  // namespace qvs
