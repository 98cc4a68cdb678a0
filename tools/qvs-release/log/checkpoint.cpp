#include "tools/qvs-release/log/checkpoint.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <vector>

#include "tools/qvs-release/base/ascii_text.h"
#include "tools/qvs-release/base/input_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/pkcs11_uri.h"
#include "tools/qvs-release/keys/signature_codec.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/keys/token_key.h"
#include "trust/digest_text.h"

namespace qvs {
namespace {

constexpr char kSignatureDash[] = "\xe2\x80\x94 ";  // U+2014 and a space
constexpr std::size_t kEd25519SignatureSize = 64;
constexpr std::uint64_t kVerifierKeyFileLimit = 4096;

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

std::array<std::uint8_t, 4> KeyId(const std::string& name, std::uint8_t type, ByteView key) {
  ByteBuffer input;
  if (type == kEd25519Type) {
    input.assign(name.begin(), name.end());
    input.push_back('\n');
    input.push_back(kEd25519Type);
  }
  input.insert(input.end(), key.begin(), key.end());
  const Sha256Digest digest = Sha256Of(input);
  std::array<std::uint8_t, 4> id{};
  std::copy_n(digest.begin(), id.size(), id.begin());
  return id;
}

// One code point of well-formed UTF-8 at the front of `text`, removed; nothing for a malformed,
// overlong or surrogate sequence.
std::optional<std::uint32_t> NextCodePoint(std::string_view& text) {
  const auto lead = static_cast<unsigned char>(text.front());
  const std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xe  ? 3
                             : (lead >> 3) == 0x1e ? 4
                                                   : 0;
  if (length == 0 || text.size() < length) {
    return std::nullopt;
  }
  std::uint32_t code = length == 1 ? lead : lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xc0) != 0x80) {
      return std::nullopt;
    }
    code = (code << 6) | (next & 0x3f);
  }
  constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
    return std::nullopt;
  }
  text.remove_prefix(length);
  return code;
}

// Unicode's white space (Go's unicode.IsSpace, which signed-note readers apply) and the controls.
bool IsSpaceOrControl(std::uint32_t code) {
  return code <= 0x20 || (code >= 0x7f && code <= 0xa0) || code == 0x1680 || (code >= 0x2000 && code <= 0x200a) ||
         code == 0x2028 || code == 0x2029 || code == 0x202f || code == 0x205f || code == 0x3000;
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

// Ed25519 over the text itself; ECDSA over its SHA-256, the signature in DER.
bool VerifiesNote(const LogVerifier& verifier, EVP_PKEY* key, std::string_view message, ByteView signature) {
  if (verifier.type == kEd25519Type && signature.size() != kEd25519SignatureSize) {
    return false;
  }
  ScopedDigestContext context(EVP_MD_CTX_new());
  const EVP_MD* digest = verifier.type == kEcdsaType ? EVP_sha256() : nullptr;
  return context && EVP_DigestVerifyInit(context.get(), nullptr, digest, nullptr, key) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

bool IsP256(EVP_PKEY* key) {
  char group[32] = {};
  std::size_t length = 0;
  return EVP_PKEY_is_a(key, "EC") && EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof(group), &length) == 1 &&
         std::string_view(group) == "prime256v1";
}

// Hex digits of either case, as other readers of verifier keys accept them.
std::optional<std::array<std::uint8_t, 4>> FromHex8(std::string_view text) {
  std::array<std::uint8_t, 4> bytes{};
  for (std::size_t i = 0; i < 8; ++i) {
    const char c = text[i];
    const int value = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (value < 0) {
      return std::nullopt;
    }
    bytes[i / 2] = static_cast<std::uint8_t>((bytes[i / 2] << 4) | value);
  }
  return bytes;
}

}  // namespace

std::string Base64(ByteView bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::string Checkpoint::Body() const {
  return origin + "\n" + std::to_string(size) + "\n" + Base64(ByteView(root.data(), root.size())) + "\n";
}

std::string LogVerifier::KeyIdText() const { return ToHexText(key_id); }

std::string LogVerifier::Text() const {
  ByteBuffer key{type};
  key.insert(key.end(), public_key.begin(), public_key.end());
  return name + "+" + KeyIdText() + "+" + Base64(key);
}

ScopedPkey LogVerifier::Key() const {
  ScopedPkey key;
  if (type == kEd25519Type) {
    key.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  } else {
    const unsigned char* at = public_key.data();
    key.reset(d2i_PUBKEY(nullptr, &at, static_cast<long>(public_key.size())));
    if (key && (at != public_key.data() + public_key.size() || !IsP256(key.get()))) {
      key.reset();
    }
  }
  if (!key) {
    throw ToolError("log key " + name + ": not an " + (type == kEd25519Type ? "Ed25519" : "ECDSA P-256") +
                    " public key (" + OpenSslReason() + ")");
  }
  return key;
}

bool IsKeyName(std::string_view name) {
  if (name.empty() || name.find('+') != std::string_view::npos) {
    return false;
  }
  while (!name.empty()) {
    const std::optional<std::uint32_t> code = NextCodePoint(name);
    if (!code || IsSpaceOrControl(*code)) {
      return false;
    }
  }
  return true;
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
  if (!IsKeyName(verifier.name)) {
    throw ToolError("log verifier key: its name \"" + verifier.name +
                    "\" is not a log origin (well-formed UTF-8 without spaces, \"+\" or control characters)");
  }
  const std::optional<ByteBuffer> key = FromBase64(text.substr(second + 1));
  const bool ed25519 = key && key->size() == 33 && (*key)[0] == kEd25519Type;
  const bool ecdsa = key && key->size() > 1 && (*key)[0] == kEcdsaType;
  if (!ed25519 && !ecdsa) {
    throw ToolError(
        "not a log verifier key: NAME+8 hex digits+base64 of 0x01 and a 32-byte Ed25519 key, or of 0x02 and a P-256 "
        "key's DER SubjectPublicKeyInfo");
  }
  verifier.type = (*key)[0];
  verifier.public_key.assign(key->begin() + 1, key->end());
  verifier.Key();  // refuses a key OpenSSL cannot read
  verifier.key_id = KeyId(verifier.name, verifier.type, verifier.public_key);
  const std::optional<std::array<std::uint8_t, 4>> given_id = FromHex8(text.substr(first + 1, 8));
  if (!given_id) {
    throw ToolError("log verifier key " + verifier.name + ": its key id " + std::string(text.substr(first + 1, 8)) +
                    " is not 8 hex digits");
  }
  if (*given_id != verifier.key_id) {
    throw ToolError("log verifier key " + verifier.name + ": its key id " + std::string(text.substr(first + 1, 8)) +
                    " is not the one its key has (" + verifier.KeyIdText() + ")");
  }
  return verifier;
}

std::vector<LogVerifier> ParseLogVerifiers(std::string_view text, const std::string& where) {
  std::vector<LogVerifier> keys;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    try {
      keys.push_back(ParseLogVerifier(text.substr(at, end - at)));
    } catch (const ToolError& error) {
      throw ToolError(where + ": line " + std::to_string(keys.size() + 1) + ": " + error.what());
    }
    at = end + 1;
  }
  if (keys.empty()) {
    throw ToolError(where + ": holds no log verifier key");
  }
  for (const LogVerifier& key : keys) {
    if (key.name != keys.front().name) {
      throw ToolError(where + ": its keys name two logs, \"" + keys.front().name + "\" and \"" + key.name + "\"");
    }
  }
  return keys;
}

std::vector<LogVerifier> ReadLogVerifiers(const std::filesystem::path& path) {
  const ByteBuffer bytes = ReadInputFile(path, "log verifier key", kVerifierKeyFileLimit);
  return ParseLogVerifiers(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), path.string());
}

LogVerifier VerifierOf(const std::string& origin, EVP_PKEY* key) {
  LogVerifier verifier;
  verifier.name = origin;
  if (EVP_PKEY_is_a(key, "ED25519")) {
    verifier.public_key.resize(32);
    std::size_t length = verifier.public_key.size();
    if (EVP_PKEY_get_raw_public_key(key, verifier.public_key.data(), &length) != 1 || length != 32) {
      throw ToolError("cannot read the Ed25519 log key: " + OpenSslReason());
    }
  } else if (IsP256(key)) {
    verifier.type = kEcdsaType;
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0) {
      throw ToolError("cannot encode the P-256 log key: " + OpenSslReason());
    }
    verifier.public_key.assign(der, der + length);
    OPENSSL_free(der);
  } else {
    throw ToolError("the log key is neither an Ed25519 nor an ECDSA P-256 key");
  }
  verifier.key_id = KeyId(origin, verifier.type, verifier.public_key);
  return verifier;
}

Checkpoint OpenCheckpoint(ByteView note, std::span<const LogVerifier> verifiers) {
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
  for (const LogVerifier& verifier : verifiers) {
    if (checkpoint.origin != verifier.name) {
      throw ToolError("checkpoint: its origin \"" + checkpoint.origin + "\" is not the log key's name \"" +
                      verifier.name + "\"");
    }
  }
  std::vector<ScopedPkey> keys;
  for (const LogVerifier& verifier : verifiers) {
    keys.push_back(verifier.Key());
  }
  std::vector<bool> signed_by(verifiers.size(), false);
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
    for (std::size_t i = 0; i < verifiers.size(); ++i) {
      const LogVerifier& verifier = verifiers[i];
      if (rest.substr(0, space) != verifier.name ||
          !std::equal(verifier.key_id.begin(), verifier.key_id.end(), signature->begin())) {
        continue;  // another signer's, a witness's for example
      }
      if (!VerifiesNote(verifier, keys[i].get(), body, ByteView(*signature).subspan(4))) {
        throw ToolError("checkpoint: the signature by the log key " + verifier.name + "+" + verifier.KeyIdText() +
                        " does not verify");
      }
      signed_by[i] = true;
    }
  }
  for (std::size_t i = 0; i < verifiers.size(); ++i) {
    if (!signed_by[i]) {
      throw ToolError("checkpoint: not signed by the log key " + verifiers[i].name + "+" + verifiers[i].KeyIdText());
    }
  }
  return checkpoint;
}

CheckpointSigner Ed25519Signer(const std::string& origin, EVP_PKEY* key) {
  return {VerifierOf(origin, key), [key](std::string_view text) {
            ByteBuffer signature(kEd25519SignatureSize);
            std::size_t length = signature.size();
            ScopedDigestContext context(EVP_MD_CTX_new());
            if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
                EVP_DigestSign(context.get(), signature.data(), &length,
                               reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1 ||
                length != kEd25519SignatureSize) {
              throw ToolError("cannot sign the checkpoint: " + OpenSslReason());
            }
            return signature;
          }};
}

CheckpointSigner EcdsaSigner(const std::string& origin, SigningKey& key) {
  return {VerifierOf(origin, key.public_key()),
          [&key](std::string_view text) { return RawToDerSignature(key.Sign(AsBytes(text))); }};
}

std::string SignCheckpoint(const Checkpoint& checkpoint, std::span<const CheckpointSigner> signers) {
  const std::string body = checkpoint.Body();
  std::string note = body + "\n";
  for (const CheckpointSigner& signer : signers) {
    if (signer.verifier.name != checkpoint.origin) {
      throw ToolError("the log key " + signer.verifier.Text() + " does not name the log " + checkpoint.origin);
    }
    ByteBuffer signature(signer.verifier.key_id.begin(), signer.verifier.key_id.end());
    const ByteBuffer made = signer.sign(body);
    signature.insert(signature.end(), made.begin(), made.end());
    note += kSignatureDash + checkpoint.origin + " " + Base64(signature) + "\n";
  }
  return note;
}

bool IsHostName(std::string_view host) {
  if (host.empty() || host.front() == '.' || host.front() == '-' || host.back() == '.' || host.back() == '-') {
    return false;
  }
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
  });
}

std::optional<std::string> OriginWarning(std::string_view origin, std::string_view host) {
  const std::string_view begins = origin.substr(0, origin.find('/'));
  if (!host.empty()) {
    if (AsciiLower(begins) == AsciiLower(host)) {
      return std::nullopt;
    }
    return "the log's origin \"" + std::string(origin) + "\" does not begin with " + std::string(host) +
           ", the host it is fetched from: if the origin is mistyped, the log keeps it for good";
  }
  if (IsHostName(begins) && (begins.find('.') != std::string_view::npos || AsciiLower(begins) == "localhost")) {
    return std::nullopt;
  }
  return "the origin \"" + std::string(origin) +
         "\" does not begin with a host name such as updates.example.com: monitors name the log by it, and the log " +
         "keeps it for good";
}

void WriteNewLogKey(const std::string& origin, const std::string& private_key,
                    const std::filesystem::path& verifier_key, bool encrypt, const KeyAccess& access, bool launchers) {
  if (origin.find("://") != std::string::npos) {
    throw UsageError(
        "--log-origin names the log without a scheme, e.g. updates.example.com/downloads/client/log, "
        "not \"" +
        origin + "\"");
  }
  if (!IsKeyName(origin)) {
    throw UsageError(
        "--log-origin names the log, e.g. updates.example.com/downloads/client/log: well-formed UTF-8, not empty, "
        "without spaces, \"+\" or control characters");
  }
  const auto verifier_text = [&origin](EVP_PKEY* key) {
    const std::string text = VerifierOf(origin, key).Text() + "\n";
    return ByteBuffer(text.begin(), text.end());
  };
  if (launchers && IsPkcs11Uri(private_key)) {
    CreateTokenKeyPair(private_key, verifier_key, access,
                       [&](const ByteBuffer& blob) { return verifier_text(PublicKeyFromBlob(blob).get()); });
    return;
  }
  WriteNewKeyFiles(private_key, verifier_key, encrypt, access, [&](ByteBuffer& public_bytes, std::string& preamble) {
    ScopedPkey key = launchers ? GenerateSigningKey() : ScopedPkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) {
      throw ToolError("cannot generate an Ed25519 key: " + OpenSslReason());
    }
    public_bytes = verifier_text(key.get());
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
