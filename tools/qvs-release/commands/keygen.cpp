#include <iostream>
#include <optional>
#include <string>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/commands/command.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/pkcs11_uri.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/keys/token_key.h"
#include "tools/qvs-release/log/checkpoint.h"

namespace qvs {
namespace {

constexpr char kKeygenHelp[] =
    "Usage: qvs-release keygen --private-key FILE --public-key FILE [--encrypt [--passphrase-file FILE]]\n"
    "       qvs-release keygen --private-key pkcs11:token=TOKEN;object=LABEL --public-key FILE\n"
    "                          [--pkcs11-module PATH] [--pin-file FILE]\n"
    "       qvs-release keygen --log [--launcher] --log-origin ORIGIN --private-key FILE|pkcs11:URI\n"
    "                          --public-key FILE [--encrypt [--passphrase-file FILE]]\n"
    "\n"
    "Makes a new ECDSA P-256 key pair. The private key is written as PKCS#8 PEM with mode 0600; keep\n"
    "it offline and out of every repository. The public key is the 72-byte blob that the launcher's\n"
    "build takes as QVS_TRUSTED_KEY_FILE. Neither file may exist yet.\n"
    "\n"
    "  --encrypt               encrypt the private key (AES-256-CBC, key derived by scrypt) under a\n"
    "                          passphrase, asked twice on the terminal without echo\n"
    "  --passphrase-file FILE  take the passphrase from FILE's first line instead\n"
    "\n"
    "With a PKCS#11 URI (RFC 7512) as --private-key, the key pair is made inside that token under the\n"
    "label object= (and id=, or a random id): the private half is sensitive and never extractable, so\n"
    "it never leaves the token; only the public blob is written. A label the token already holds is\n"
    "refused.\n"
    "  --pkcs11-module PATH    the token's PKCS#11 module (default: $QVS_PKCS11_MODULE)\n"
    "  --pin-file FILE         take the token's PIN from FILE's first line instead of the terminal\n"
    "\n"
    "       qvs-release keygen --log --log-origin ORIGIN --private-key FILE --public-key FILE\n"
    "                          [--encrypt [--passphrase-file FILE]]\n"
    "\n"
    "With --log, makes an Ed25519 key for the site's release log instead: the private key as PEM\n"
    "(its first line records ORIGIN), the public key as a verifier key 'ORIGIN+KEYID+KEY', which\n"
    "auditors give to 'check --log-public-key' and 'audit-log'. ORIGIN names the log for good, for\n"
    "example updates.example.com/downloads/client/log. Keep the log key apart from the update key.\n"
    "  --launcher              with --log: a P-256 log key that launchers check instead (Windows has\n"
    "                          no Ed25519), as a PEM file or made in a token (--private-key pkcs11:...);\n"
    "                          its verifier key file is what the launcher's build takes as\n"
    "                          QVS_LOG_KEY_FILE, and publish takes the key as --launcher-log-key.\n";

int RunKeygenInToken(const std::string& uri, const std::filesystem::path& public_key,
                     const CommandArguments& arguments) {
  if (arguments.flags.contains("encrypt") || arguments.Find("passphrase-file") != nullptr) {
    throw UsageError("--encrypt and --passphrase-file are for a key file; a key in a token is guarded by its PIN");
  }
  const TokenKeyPair pair = CreateTokenKeyPair(uri, public_key, ReadKeyAccess(arguments));
  std::cout << "Made the P-256 key \"" << pair.object << "\" (id " << pair.id << ") in token \"" << pair.token
            << "\"; its private half never leaves the token\n"
            << "Wrote the public key " << public_key.string() << " (72 bytes, fingerprint "
            << KeyFingerprint(pair.public_blob)
            << "; build the launcher with -DQVS_TRUSTED_KEY_FILE=" << public_key.string() << ")\n";
  return kSuccess;
}

// Whether a new key file is to be encrypted: --passphrase-file only goes with --encrypt.
bool EncryptionAsked(const CommandArguments& arguments) {
  const bool encrypt = arguments.flags.contains("encrypt");
  if (!encrypt && arguments.Find("passphrase-file") != nullptr) {
    throw UsageError("--passphrase-file needs --encrypt");
  }
  return encrypt;
}

int RunLogKeygen(const std::string& origin, const std::string& private_key, const std::filesystem::path& public_key,
                 const CommandArguments& arguments) {
  const bool launchers = arguments.flags.contains("launcher");
  const bool in_token = IsPkcs11Uri(private_key);
  if ((in_token && !launchers) ||
      (!in_token && (arguments.Find("pin-file") != nullptr || arguments.Find("pkcs11-module") != nullptr))) {
    throw UsageError(
        "the log's Ed25519 key is a key file (--private-key FILE); the launchers' log key (--launcher) may live in a "
        "token");
  }
  const bool encrypt = !in_token && EncryptionAsked(arguments);
  WriteNewLogKey(origin, private_key, public_key, encrypt, ReadKeyAccess(arguments), launchers);
  if (const std::optional<std::string> warning = OriginWarning(origin)) {
    std::cerr << "qvs-release keygen: warning: " << *warning << "\n";
  }
  const std::string kind = launchers ? "P-256, for launchers" : "Ed25519";
  std::cout << "Wrote the log key " << private_key
            << (in_token  ? " (" + kind + ", made in the token; its private half never leaves it)\n"
                : encrypt ? " (" + kind + ", encrypted, mode 0600)\n"
                          : " (" + kind + ", mode 0600; keep it offline)\n")
            << "Wrote the verifier key " << public_key.string() << ": " << ReadLogVerifiers(public_key).front().Text()
            << "\n";
  if (launchers) {
    std::cout << "Build launchers with -DQVS_LOG_KEY_FILE=" << public_key.string()
              << " and publish with --launcher-log-key " << private_key << "\n";
  }
  return kSuccess;
}

int RunKeygen(const CommandArguments& arguments) {
  RequireNoPositionals(arguments);
  const std::string private_key = arguments.Require("private-key");
  const std::filesystem::path public_key = arguments.Require("public-key");
  const std::string* origin = arguments.Find("log-origin");
  if (arguments.flags.contains("log") != (origin != nullptr)) {
    throw UsageError("--log and --log-origin go together");
  }
  if (arguments.flags.contains("launcher") && origin == nullptr) {
    throw UsageError("--launcher makes a log key: give --log and --log-origin");
  }
  if (origin != nullptr) {
    return RunLogKeygen(*origin, private_key, public_key, arguments);
  }
  if (IsPkcs11Uri(private_key)) {
    return RunKeygenInToken(private_key, public_key, arguments);
  }
  if (arguments.Find("pin-file") != nullptr || arguments.Find("pkcs11-module") != nullptr) {
    throw UsageError("--pin-file and --pkcs11-module are for a key in a token (--private-key pkcs11:...)");
  }
  const bool encrypt = EncryptionAsked(arguments);
  WriteNewKeyPair(private_key, public_key, encrypt, ReadKeyAccess(arguments));
  std::cout << "Wrote the private key " << private_key
            << (encrypt ? " (encrypted, mode 0600)\n" : " (mode 0600; keep it offline)\n") << "Wrote the public key "
            << public_key.string() << " (72 bytes; build the launcher with "
            << "-DQVS_TRUSTED_KEY_FILE=" << public_key.string() << ")\n";
  return kSuccess;
}

}  // namespace

Command KeygenCommand() {
  return {"keygen",
          kKeygenHelp,
          {"private-key", "public-key", "passphrase-file", "pkcs11-module", "pin-file", "log-origin"},
          {"encrypt", "log", "launcher"},
          RunKeygen};
}

}  // namespace qvs
