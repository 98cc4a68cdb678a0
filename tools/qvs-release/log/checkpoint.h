#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "common/byte_buffer.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/openssl_handles.h"
#include "tools/qvs-release/keys/signing_key.h"
#include "tools/qvs-release/log/merkle_tree.h"

namespace qvs {

// The log's head as a signed note (C2SP signed-note and tlog-checkpoint): the origin, the tree
// size in decimal and the root hash in base64, each ending in a line feed; a blank line; then one
// line per signature, "— NAME BASE64(key id || signature)". Every log key is named by the origin.
// The log's own key is Ed25519, as C2SP tools and witnesses read it: its key id is the first four
// bytes of SHA-256(name || "\n" || 0x01 || key). Beside it, a P-256 key that launchers check
// (Windows has no Ed25519) signs with ECDSA over SHA-256 in DER, signed-note's type 0x02, whose
// key id is the first four bytes of SHA-256 of the key's SubjectPublicKeyInfo.
struct Checkpoint {
  std::string origin;
  std::uint64_t size = 0;
  TreeHash root{};

  std::string Body() const;
  bool operator==(const Checkpoint&) const = default;
};

// Standard base64 with padding, as signed notes and proofs write it.
std::string Base64(ByteView bytes);

inline constexpr std::uint8_t kEd25519Type = 0x01;
inline constexpr std::uint8_t kEcdsaType = 0x02;

// Whoever may check the log: the verifier key's text form "NAME+HEX8+BASE64(type || key)", the key
// 32 bytes for Ed25519 and the DER SubjectPublicKeyInfo for ECDSA P-256.
struct LogVerifier {
  std::string name;
  std::uint8_t type = kEd25519Type;
  std::array<std::uint8_t, 4> key_id{};
  ByteBuffer public_key;

  std::string Text() const;
  std::string KeyIdText() const;  // the 8 hex digits
  bool launchers_check() const { return type == kEcdsaType; }
  // The key as OpenSSL verifies with it; raises ToolError for a key OpenSSL refuses.
  ScopedPkey Key() const;
  bool operator==(const LogVerifier&) const = default;
};

// Raises ToolError naming what is wrong with a verifier key's text.
LogVerifier ParseLogVerifier(std::string_view text);
// A log's verifier keys, one a line, all naming one log (a site's qvs-log-key.vkey, or one key
// alone); failures name `where` and the line.
std::vector<LogVerifier> ParseLogVerifiers(std::string_view text, const std::string& where);
std::vector<LogVerifier> ReadLogVerifiers(const std::filesystem::path& path);
// The verifier of an Ed25519 or P-256 key under the log's origin.
LogVerifier VerifierOf(const std::string& origin, EVP_PKEY* key);

// Whether `name` may name a log: well-formed UTF-8, not empty, without Unicode spaces, "+" or
// control characters, as signed-note requires of key names.
bool IsKeyName(std::string_view name);

// What the launcher's build accepts as QVS_UPDATE_HOST: letters, digits, dots and dashes, without a
// scheme, port, path or user.
bool IsHostName(std::string_view host);
// Why a log's origin looks mistyped, or nothing: it should begin with the host name the log is
// served from (`host`; without one, any host name with a dot, or "localhost"), then "/". A typo
// stays in the append-only log for good.
std::optional<std::string> OriginWarning(std::string_view origin, std::string_view host = {});

// The served checkpoint, checked: raises ToolError unless `note` is a well-formed checkpoint with
// a signature by each of `verifiers` that verifies (other signatures, a witness's, are allowed and
// passed over) and an origin that is their name.
Checkpoint OpenCheckpoint(ByteView note, std::span<const LogVerifier> verifiers);
inline Checkpoint OpenCheckpoint(ByteView note, const LogVerifier& verifier) {
  return OpenCheckpoint(note, std::span<const LogVerifier>(&verifier, 1));
}

// One log key that signs checkpoints: its verifier, and the signature of a note's text (what goes
// after the key id).
struct CheckpointSigner {
  LogVerifier verifier;
  std::function<ByteBuffer(std::string_view text)> sign;
};
CheckpointSigner Ed25519Signer(const std::string& origin, EVP_PKEY* key);
CheckpointSigner EcdsaSigner(const std::string& origin, SigningKey& key);
// The checkpoint signed by every signer, in their order.
std::string SignCheckpoint(const Checkpoint& checkpoint, std::span<const CheckpointSigner> signers);

// A log key's files: the private key as PEM (its origin recorded in a line before the PEM block,
// which PEM readers pass over) and the verifier key. With `launchers`, a P-256 key (a file, or a
// key pair made in the token a pkcs11: URI names) instead of the Ed25519 one.
inline constexpr char kLogOriginLabel[] = "Log origin: ";
void WriteNewLogKey(const std::string& origin, const std::string& private_key,
                    const std::filesystem::path& verifier_key, bool encrypt, const KeyAccess& access,
                    bool launchers = false);
struct LogSigningKey {
  ScopedPkey key;
  std::string origin;  // as recorded when it was made
};
LogSigningKey LoadLogKey(const std::filesystem::path& path, const KeyAccess& access);

}  // namespace qvs
