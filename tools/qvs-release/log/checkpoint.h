#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/byte_buffer.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/openssl_handles.h"
#include "tools/qvs-release/log/merkle_tree.h"

namespace qvs {

// The log's head as a signed note (C2SP signed-note and tlog-checkpoint): the origin, the tree
// size in decimal and the root hash in base64, each ending in a line feed; a blank line; then one
// line per signature, "— NAME BASE64(key id || Ed25519 signature)". The log key is Ed25519; its
// name is the origin and its key id the first four bytes of SHA-256(name || "\n" || 0x01 || key).
struct Checkpoint {
  std::string origin;
  std::uint64_t size = 0;
  TreeHash root{};

  std::string Body() const;
  bool operator==(const Checkpoint&) const = default;
};

// Whoever may check the log: the verifier key's text form "NAME+HEX8+BASE64(0x01 || key)".
struct LogVerifier {
  std::string name;
  std::array<std::uint8_t, 4> key_id{};
  std::array<std::uint8_t, 32> public_key{};

  std::string Text() const;
  std::string KeyIdText() const;  // the 8 hex digits
};

// Raises ToolError naming what is wrong with a verifier key's text.
LogVerifier ParseLogVerifier(std::string_view text);
LogVerifier ReadLogVerifier(const std::filesystem::path& path);
LogVerifier VerifierOf(const std::string& origin, EVP_PKEY* key);

// The served checkpoint, checked: raises ToolError unless `note` is a well-formed checkpoint with
// a signature by `verifier` that verifies (other signatures, a witness's, are allowed and passed
// over) and an origin that is the key's name.
Checkpoint OpenCheckpoint(ByteView note, const LogVerifier& verifier);
std::string SignCheckpoint(const Checkpoint& checkpoint, EVP_PKEY* key);

// A log key's files: the private key as PEM (its origin recorded in a line before the PEM block,
// which PEM readers pass over) and the verifier key.
inline constexpr char kLogOriginLabel[] = "Log origin: ";
void WriteNewLogKey(const std::string& origin, const std::filesystem::path& private_key,
                    const std::filesystem::path& verifier_key, bool encrypt, const KeyAccess& access);
struct LogSigningKey {
  ScopedPkey key;
  std::string origin;  // as recorded when it was made
};
LogSigningKey LoadLogKey(const std::filesystem::path& path, const KeyAccess& access);

}  // namespace qvs
