#include "tools/qvs-release/log/checkpoint.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "tools/qvs-release/base/input_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/signing.h"
#include "trust/digest_text.h"

namespace qvs {
namespace {

constexpr std::uint8_t kEd25519Type = 0x01;
constexpr char kSignatureDash[] = "\xe2\x80\x94 ";  // U+2014 and a space
constexpr std::size_t kEd25519SignatureSize = 64;
constexpr std::uint64_t kVerifierKeyFileLimit = 4096;

std::string Base64(ByteView bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// Standard base64 with padding, and nothing else: what Base64 writes back the same.
std::optional<ByteBuffer> FromBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) {
    return std::nullopt;
  }
  ByteBuffer bytes(text.size() / 4 * 3);
  const int length =
      EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (length < 0) {
    return std::nullopt;
  }
  const std::size_t padding = static_cast<std::size_t>(std::count(text.end() - 2, text.end(), '='));
  bytes.resize(static_cast<std::size_t>(length) - padding);
  if (Base64(bytes) != text) {
    return std::nullopt;
  }
  return bytes;
}

std::array<std::uint8_t, 4> KeyId(const std::string& name, const std::array<std::uint8_t, 32>& key) {
  ByteBuffer input(name.begin(), name.end());
  input.push_back('\n');
  input.push_back(kEd25519Type);
  input.insert(input.end(), key.begin(), key.end());
  const Sha256Digest digest = Sha256Of(input);
  std::array<std::uint8_t, 4> id{};
  std::copy_n(digest.begin(), id.size(), id.begin());
  return id;
}

// A key name: not empty, no space, "+" or control character (signed-note).
bool IsKeyName(std::string_view name) {
  return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f || c == '+';
  });
}

std::uint64_t ParseSize(std::string_view text) {
  std::uint64_t size = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      (text.size() > 1 && text.front() == '0')) {
    throw ToolError("checkpoint: the tree size \"" + std::string(text) + "\" is not a decimal number");
  }
  return size;
}

ScopedPkey PublicKeyOf(const LogVerifier& verifier) {
  ScopedPkey key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, verifier.public_key.data(), verifier.public_key.size()));
  if (!key) {
    throw ToolError("log key " + verifier.name + ": not an Ed25519 public key (" + OpenSslReason() + ")");
  }
  return key;
}

bool VerifiesEd25519(EVP_PKEY* key, std::string_view message, ByteView signature) {
  ScopedDigestContext context(EVP_MD_CTX_new());
  return context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

}  // namespace

std::string Checkpoint::Body() const {
  return origin + "\n" + std::to_string(size) + "\n" + Base64(ByteView(root.data(), root.size())) + "\n";
}

std::string LogVerifier::KeyIdText() const { return ToHexText(key_id); }

std::string LogVerifier::Text() const {
  ByteBuffer key{kEd25519Type};
  key.insert(key.end(), public_key.begin(), public_key.end());
  return name + "+" + KeyIdText() + "+" + Base64(key);
}

LogVerifier ParseLogVerifier(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  const std::size_t first = text.find('+');
  const std::size_t second = first == std::string_view::npos ? first : text.find('+', first + 1);
  if (second == std::string_view::npos || second - first != 9) {
    throw ToolError("not a log verifier key (NAME+8 hex digits+base64 key)");
  }
  LogVerifier verifier;
  verifier.name = std::string(text.substr(0, first));
  const std::optional<ByteBuffer> key = FromBase64(text.substr(second + 1));
  if (!IsKeyName(verifier.name) || !key || key->size() != 33 || (*key)[0] != kEd25519Type) {
    throw ToolError("not an Ed25519 log verifier key (NAME+8 hex digits+base64 of 0x01 and 32 bytes)");
  }
  std::copy(key->begin() + 1, key->end(), verifier.public_key.begin());
  verifier.key_id = KeyId(verifier.name, verifier.public_key);
  if (text.substr(first + 1, 8) != verifier.KeyIdText()) {
    throw ToolError("log verifier key " + verifier.name + ": its key id " + std::string(text.substr(first + 1, 8)) +
                    " is not the one its key has (" + verifier.KeyIdText() + ")");
  }
  return verifier;
}

LogVerifier ReadLogVerifier(const std::filesystem::path& path) {
  const ByteBuffer bytes = ReadInputFile(path, "log verifier key", kVerifierKeyFileLimit);
  try {
    return ParseLogVerifier(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } catch (const ToolError& error) {
    throw ToolError(path.string() + ": " + error.what());
  }
}

LogVerifier VerifierOf(const std::string& origin, EVP_PKEY* key) {
  LogVerifier verifier;
  verifier.name = origin;
  std::size_t length = verifier.public_key.size();
  if (!EVP_PKEY_is_a(key, "ED25519") || EVP_PKEY_get_raw_public_key(key, verifier.public_key.data(), &length) != 1 ||
      length != verifier.public_key.size()) {
    throw ToolError("the log key is not an Ed25519 key");
  }
  verifier.key_id = KeyId(origin, verifier.public_key);
  return verifier;
}

Checkpoint OpenCheckpoint(ByteView note, const LogVerifier& verifier) {
  const std::string_view text(reinterpret_cast<const char*>(note.data()), note.size());
  const std::size_t split = text.find("\n\n");
  if (split == std::string_view::npos || text.back() != '\n') {
    throw ToolError("checkpoint: not a signed note (no blank line before the signatures)");
  }
  const std::string_view body = text.substr(0, split + 1);
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t end = body.find('\n', at);
    lines.push_back(body.substr(at, end - at));
    at = end + 1;
  }
  if (lines.size() < 3) {
    throw ToolError("checkpoint: the note does not hold an origin, a tree size and a root hash");
  }
  Checkpoint checkpoint;
  checkpoint.origin = std::string(lines[0]);
  checkpoint.size = ParseSize(lines[1]);
  const std::optional<ByteBuffer> root = FromBase64(lines[2]);
  if (!root || root->size() != checkpoint.root.size()) {
    throw ToolError("checkpoint: the root hash is not 32 bytes in base64");
  }
  std::copy(root->begin(), root->end(), checkpoint.root.begin());
  if (checkpoint.origin != verifier.name) {
    throw ToolError("checkpoint: its origin \"" + checkpoint.origin + "\" is not the log key's name \"" +
                    verifier.name + "\"");
  }

  const ScopedPkey key = PublicKeyOf(verifier);
  bool signed_by_key = false;
  std::string_view signatures = text.substr(split + 2);
  while (!signatures.empty()) {
    const std::size_t end = signatures.find('\n');
    const std::string_view line = signatures.substr(0, end);
    signatures.remove_prefix(end + 1);
    if (!line.starts_with(kSignatureDash)) {
      throw ToolError("checkpoint: a signature line does not begin with an em dash");
    }
    const std::string_view rest = line.substr(sizeof(kSignatureDash) - 1);
    const std::size_t space = rest.find(' ');
    const std::optional<ByteBuffer> signature =
        space == std::string_view::npos ? std::nullopt : FromBase64(rest.substr(space + 1));
    if (!signature || signature->size() < 5) {
      throw ToolError("checkpoint: a signature line is malformed");
    }
    if (rest.substr(0, space) != verifier.name ||
        !std::equal(verifier.key_id.begin(), verifier.key_id.end(), signature->begin())) {
      continue;  // another signer's, a witness's for example
    }
    signed_by_key = signature->size() == 4 + kEd25519SignatureSize &&
                    VerifiesEd25519(key.get(), body, ByteView(*signature).subspan(4));
    if (!signed_by_key) {
      throw ToolError("checkpoint: the signature by the log key " + verifier.name + "+" + verifier.KeyIdText() +
                      " does not verify");
    }
  }
  if (!signed_by_key) {
    throw ToolError("checkpoint: not signed by the log key " + verifier.name + "+" + verifier.KeyIdText());
  }
  return checkpoint;
}

std::string SignCheckpoint(const Checkpoint& checkpoint, EVP_PKEY* key) {
  const LogVerifier verifier = VerifierOf(checkpoint.origin, key);
  const std::string body = checkpoint.Body();
  ByteBuffer signature(verifier.key_id.begin(), verifier.key_id.end());
  signature.resize(4 + kEd25519SignatureSize);
  std::size_t length = kEd25519SignatureSize;
  ScopedDigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(context.get(), signature.data() + 4, &length, reinterpret_cast<const unsigned char*>(body.data()),
                     body.size()) != 1 ||
      length != kEd25519SignatureSize) {
    throw ToolError("cannot sign the checkpoint: " + OpenSslReason());
  }
  return body + "\n" + kSignatureDash + checkpoint.origin + " " + Base64(signature) + "\n";
}

void WriteNewLogKey(const std::string& origin, const std::filesystem::path& private_key,
                    const std::filesystem::path& verifier_key, bool encrypt, const KeyAccess& access) {
  if (!IsKeyName(origin)) {
    throw UsageError(
        "--log-origin names the log, e.g. updates.example.com/downloads/client/log: not empty, "
        "without spaces, \"+\" or control characters");
  }
  WriteNewKeyFiles(private_key, verifier_key, encrypt, access, [&](ByteBuffer& public_bytes, std::string& preamble) {
    ScopedPkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) {
      throw ToolError("cannot generate an Ed25519 key: " + OpenSslReason());
    }
    const std::string text = VerifierOf(origin, key.get()).Text() + "\n";
    public_bytes.assign(text.begin(), text.end());
    preamble = std::string(kLogOriginLabel) + origin + "\n";
    return key;
  });
}

LogSigningKey LoadLogKey(const std::filesystem::path& path, const KeyAccess& access) {
  const PrivateKeyFile pem(path, "log key");
  const std::string_view text = pem.text();
  LogSigningKey loaded;
  if (text.starts_with(kLogOriginLabel)) {
    const std::string_view line = text.substr(0, text.find('\n'));
    loaded.origin = std::string(line.substr(sizeof(kLogOriginLabel) - 1));
  }
  loaded.key = ReadPemPrivateKey(pem, access);
  if (!EVP_PKEY_is_a(loaded.key.get(), "ED25519")) {
    throw ToolError(path.string() + ": not an Ed25519 log key (make one with keygen --log)");
  }
  if (!IsKeyName(loaded.origin)) {
    throw ToolError(path.string() + ": names no log origin (a first line \"" + kLogOriginLabel +
                    "...\", as keygen --log writes it)");
  }
  return loaded;
}

}  // namespace qvs
