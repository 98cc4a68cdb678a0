#include "tools/qvs-release/keys/key_factory.h"

#include <string_view>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/pkcs11_uri.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/keys/token_key.h"

namespace qvs {
namespace {

class PemSigningKey final : public SigningKey {
 public:
  PemSigningKey(const std::filesystem::path& file, ScopedPkey key)
      : SigningKey(file.string(), PublicKeyBlob(key.get())), key_(std::move(key)) {}

 private:
  ByteBuffer SignRaw(ByteView message) override { return SignDescriptor(key_.get(), message); }

  ScopedPkey key_;
};

// The options that go with the kind of key --private-key names.
void RequireOptionsOfItsKind(const std::string& location, const KeyAccess& access) {
  if (IsPkcs11Uri(location)) {
    if (!access.passphrase_file.empty()) {
      throw UsageError("--passphrase-file is for a key file; a key in a token takes --pin-file");
    }
  } else if (!access.pin_file.empty() || !access.pkcs11_module.empty()) {
    throw UsageError("--pin-file and --pkcs11-module are for a key in a token (--private-key pkcs11:...)");
  }
}

}  // namespace

void CheckSigningKeyLocation(const std::string& location, const KeyAccess& access) {
  RequireOptionsOfItsKind(location, access);
  if (IsPkcs11Uri(location)) {
    ParsePkcs11Uri(location);
    return;
  }
  const PrivateKeyFile pem(location, "private key");
  const std::string_view text = pem.text();
  const std::size_t begin = text.find("-----BEGIN ");
  const bool labelled =
      begin != std::string_view::npos &&
      text.substr(begin, text.find('\n', begin) - begin).find("PRIVATE KEY-----") != std::string_view::npos;
  if (!labelled) {
    throw ToolError(location + ": not a PEM private key (no -----BEGIN ... PRIVATE KEY----- line)");
  }
}

std::unique_ptr<SigningKey> OpenSigningKey(const std::string& location, const KeyAccess& access) {
  RequireOptionsOfItsKind(location, access);
  if (IsPkcs11Uri(location)) {
    return OpenTokenKey(location, access);
  }
  return std::make_unique<PemSigningKey>(location, LoadPrivateKey(location, access));
}

}  // namespace qvs
