#include "tools/qvs-release/keys/token_key.h"

#include <openssl/rand.h>

#include <array>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/pkcs11_module.h"
#include "tools/qvs-release/keys/pkcs11_uri.h"
#include "tools/qvs-release/keys/secret_input.h"
#include "tools/qvs-release/keys/signing.h"
#include "trust/digest_text.h"

namespace qvs {
namespace {

// The module from access.pkcs11_module, else $QVS_PKCS11_MODULE; raises ToolError when neither is set.
std::string Pkcs11ModulePath(const KeyAccess& access) {
  if (!access.pkcs11_module.empty()) {
    return access.pkcs11_module;
  }
  if (const char* module = std::getenv("QVS_PKCS11_MODULE"); module != nullptr && *module != '\0') {
    return module;
  }
  throw ToolError("a key in a token needs its PKCS#11 module: give --pkcs11-module PATH or set QVS_PKCS11_MODULE");
}

// DER of the named curve P-256 (prime256v1), as CKA_EC_PARAMS holds it.
constexpr std::array<std::uint8_t, 10> kP256Parameters = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
constexpr std::size_t kNewIdSize = 16;

ck_attribute Attribute(ck_attribute_type_t type, const void* value, std::size_t size) {
  return {type, const_cast<void*>(value), size};
}

template <typename Value>
ck_attribute Attribute(ck_attribute_type_t type, const Value& value) {
  return Attribute(type, &value, sizeof(value));
}

ck_attribute Attribute(ck_attribute_type_t type, const std::string& text) {
  return Attribute(type, text.data(), text.size());
}

ck_attribute Attribute(ck_attribute_type_t type, const ByteBuffer& bytes) {
  return Attribute(type, bytes.data(), bytes.size());
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

bool Matches(const Pkcs11Module::Token& token, const Pkcs11Uri& uri) {
  return (!uri.token || *uri.token == token.label) && (!uri.manufacturer || *uri.manufacturer == token.manufacturer) &&
         (!uri.model || *uri.model == token.model) && (!uri.serial || *uri.serial == token.serial);
}

// The one token the URI names.
Pkcs11Module::Token FindToken(const Pkcs11Module& module, const Pkcs11Uri& uri, const std::string& text) {
  std::vector<Pkcs11Module::Token> matching;
  std::string present;
  for (Pkcs11Module::Token& token : module.Tokens()) {
    present += (present.empty() ? "" : ", ") + Quoted(token.label);
    if (Matches(token, uri)) {
      matching.push_back(std::move(token));
    }
  }
  if (matching.empty()) {
    throw ToolError("no token matching " + text + " in the PKCS#11 module " + module.path() +
                    " (tokens present: " + (present.empty() ? "none" : present) + ")");
  }
  if (matching.size() > 1) {
    throw ToolError(std::to_string(matching.size()) + " tokens match " + text + " (" + present +
                    "); name one with token=");
  }
  return std::move(matching.front());
}

void LogIn(Pkcs11Session& session, const Pkcs11Module::Token& token, const KeyAccess& access) {
  if ((token.info.flags & CKF_LOGIN_REQUIRED) == 0) {
    return;
  }
  if ((token.info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0 && access.pin_file.empty()) {
    std::cerr << "Enter the PIN of token " << Quoted(token.label) << " on its reader.\n";
    session.Login(nullptr);
    return;
  }
  const Secret pin = ReadSecret(access.pin_file, "PIN", "--pin-file", "PIN for token " + Quoted(token.label) + ": ");
  session.Login(&pin);
}

// The public key object's CKA_EC_POINT (DER OCTET STRING of the uncompressed point, or the bare
// point as some modules give it) as the 72-byte blob.
ByteBuffer PublicBlobOf(const Pkcs11Session& session, ck_object_handle_t public_key, const std::string& name) {
  const std::optional<ByteBuffer> point = session.Attribute(public_key, CKA_EC_POINT);
  if (point && point->size() == 67 && (*point)[0] == 0x04 && (*point)[1] == 65) {
    return PublicKeyBlobFromPoint(ByteView(*point).subspan(2));
  }
  if (point && point->size() == 65) {
    return PublicKeyBlobFromPoint(*point);
  }
  throw ToolError(name + ": its public key object holds no P-256 point");
}

bool IsP256(const Pkcs11Session& session, ck_object_handle_t key) {
  const std::optional<ByteBuffer> type = session.Attribute(key, CKA_KEY_TYPE);
  const std::optional<ByteBuffer> parameters = session.Attribute(key, CKA_EC_PARAMS);
  const ck_key_type_t ec = CKK_EC;
  const ByteView ec_bytes(reinterpret_cast<const std::uint8_t*>(&ec), sizeof(ec));
  return type && std::equal(type->begin(), type->end(), ec_bytes.begin(), ec_bytes.end()) && parameters &&
         std::equal(parameters->begin(), parameters->end(), kP256Parameters.begin(), kP256Parameters.end());
}

// A module, a session with the token and the key found in it, in the order they are released.
struct OpenedKey {
  std::unique_ptr<Pkcs11Module> module;
  std::unique_ptr<Pkcs11Session> session;
  ck_object_handle_t private_key = 0;
  ByteBuffer public_blob;
};

OpenedKey OpenKey(const std::string& text, const KeyAccess& access) {
  const Pkcs11Uri uri = ParsePkcs11Uri(text);
  if (!uri.object && !uri.id) {
    throw ToolError("PKCS#11 URI " + text + " names no key: give object=LABEL or id=");
  }
  OpenedKey opened;
  opened.module = std::make_unique<Pkcs11Module>(Pkcs11ModulePath(access));
  const Pkcs11Module::Token token = FindToken(*opened.module, uri, text);
  opened.session = std::make_unique<Pkcs11Session>(*opened.module, token, false);
  LogIn(*opened.session, token, access);

  const ck_object_class_t private_class = CKO_PRIVATE_KEY;
  std::vector<ck_attribute> match = {Attribute(CKA_CLASS, private_class)};
  if (uri.object) {
    match.push_back(Attribute(CKA_LABEL, *uri.object));
  }
  if (uri.id) {
    match.push_back(Attribute(CKA_ID, *uri.id));
  }
  const std::vector<ck_object_handle_t> keys = opened.session->Find(match);
  if (keys.empty()) {
    throw ToolError("token " + Quoted(token.label) + " holds no private key matching " + text);
  }
  if (keys.size() > 1) {
    throw ToolError("token " + Quoted(token.label) + " holds " + std::to_string(keys.size()) +
                    " private keys matching " + text + "; add id= to name one");
  }
  opened.private_key = keys.front();
  if (!IsP256(*opened.session, opened.private_key)) {
    throw ToolError(text + ": not an ECDSA P-256 key");
  }

  // Its public half: the public key object of the same id (or, without an id, the same label).
  const ck_object_class_t public_class = CKO_PUBLIC_KEY;
  std::vector<ck_attribute> partner = {Attribute(CKA_CLASS, public_class)};
  const std::optional<ByteBuffer> id = opened.session->Attribute(opened.private_key, CKA_ID);
  const std::optional<ByteBuffer> label = opened.session->Attribute(opened.private_key, CKA_LABEL);
  if (id && !id->empty()) {
    partner.push_back(Attribute(CKA_ID, *id));
  } else if (label && !label->empty()) {
    partner.push_back(Attribute(CKA_LABEL, *label));
  }
  const std::vector<ck_object_handle_t> public_keys =
      partner.size() > 1 ? opened.session->Find(partner) : std::vector<ck_object_handle_t>();
  if (public_keys.size() != 1) {
    throw ToolError(text + ": the token holds " + std::to_string(public_keys.size()) +
                    " public keys with the private key's id; its one public half is needed to check it against "
                    "the launchers' key");
  }
  opened.public_blob = PublicBlobOf(*opened.session, public_keys.front(), text);
  return opened;
}

class TokenSigningKey final : public SigningKey {
 public:
  TokenSigningKey(const std::string& uri, OpenedKey opened)
      : SigningKey(uri, opened.public_blob), opened_(std::move(opened)) {}

 private:
  ByteBuffer SignRaw(ByteView message) override {
    const Sha256Digest digest = Sha256Of(message);
    ByteBuffer signature = opened_.session->Sign(opened_.private_key, CKM_ECDSA, digest);
    if (signature.size() != 64) {
      throw ToolError(name() + ": the token gave a signature of " + std::to_string(signature.size()) +
                      " bytes, not 64 (r then s)");
    }
    return signature;
  }

  OpenedKey opened_;
};

}  // namespace

std::unique_ptr<SigningKey> OpenTokenKey(const std::string& uri, const KeyAccess& access) {
  return std::make_unique<TokenSigningKey>(uri, OpenKey(uri, access));
}

TokenKeyPair CreateTokenKeyPair(const std::string& text, const std::filesystem::path& public_key,
                                const KeyAccess& access, const PublicFileForm& form) {
  const Pkcs11Uri uri = ParsePkcs11Uri(text);
  if (!uri.token || !uri.object) {
    throw ToolError("PKCS#11 URI " + text + ": keygen needs the token and the new key's label (token=...;object=...)");
  }
  RequireNewFile(public_key);
  ByteBuffer id = uri.id.value_or(ByteBuffer(kNewIdSize));
  if (!uri.id && RAND_bytes(id.data(), static_cast<int>(id.size())) != 1) {
    throw ToolError("cannot make a key id: " + OpenSslReason());
  }
  TokenKeyPair pair{*uri.token, *uri.object, ToHexText(id), {}};
  const Pkcs11Module module(Pkcs11ModulePath(access));
  const Pkcs11Module::Token token = FindToken(module, uri, text);
  Pkcs11Session session(module, token, true);
  LogIn(session, token, access);
  if (!session.Find({Attribute(CKA_LABEL, pair.object)}).empty()) {
    throw ToolError("token " + Quoted(token.label) + " already holds an object labelled " + Quoted(pair.object) +
                    "; refusing to make another key under that label");
  }
  if (uri.id && !session.Find({Attribute(CKA_ID, id)}).empty()) {
    throw ToolError("token " + Quoted(token.label) + " already holds an object with id " + pair.id);
  }

  const unsigned char yes = 1;
  const unsigned char no = 0;
  // Made for signing descriptors and nothing else.
  const std::vector<ck_attribute> public_template = {
      Attribute(CKA_TOKEN, yes),
      Attribute(CKA_PRIVATE, no),
      Attribute(CKA_VERIFY, yes),
      Attribute(CKA_ENCRYPT, no),
      Attribute(CKA_WRAP, no),
      Attribute(CKA_DERIVE, no),
      Attribute(CKA_EC_PARAMS, kP256Parameters.data(), kP256Parameters.size()),
      Attribute(CKA_LABEL, pair.object),
      Attribute(CKA_ID, id),
  };
  const std::vector<ck_attribute> private_template = {
      Attribute(CKA_TOKEN, yes),      Attribute(CKA_PRIVATE, yes), Attribute(CKA_SENSITIVE, yes),
      Attribute(CKA_EXTRACTABLE, no), Attribute(CKA_SIGN, yes),    Attribute(CKA_DECRYPT, no),
      Attribute(CKA_UNWRAP, no),      Attribute(CKA_DERIVE, no),   Attribute(CKA_LABEL, pair.object),
      Attribute(CKA_ID, id),
  };
  const std::pair<ck_object_handle_t, ck_object_handle_t> objects =
      session.GenerateKeyPair(CKM_EC_KEY_PAIR_GEN, public_template, private_template);
  // Until the blob is written, a failure takes the new key pair back out of the token.
  bool kept = false;
  ScopeExit take_back([&] {
    if (!kept) {
      session.Destroy(objects.second);
      session.Destroy(objects.first);
    }
  });
  pair.public_blob = PublicBlobOf(session, objects.first, text);
  PublicKeyFromBlob(pair.public_blob);
  CreateNewFile(public_key, form ? form(pair.public_blob) : pair.public_blob, 0644);
  kept = true;
  return pair;
}

}  // namespace qvs
