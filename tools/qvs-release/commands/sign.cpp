#include "tools/qvs-release/site/sign.h"

#include <filesystem>
#include <iostream>
#include <string>

#include "tools/qvs-release/commands/command.h"

namespace qvs {
namespace {

constexpr char kSignHelp[] =
    "Usage: qvs-release sign --private-key FILE --descriptor FILE --out FILE [--public-key FILE]\n"
    "                        [--passphrase-file FILE] [--pkcs11-module PATH] [--pin-file FILE]\n"
    "\n"
    "Signs the descriptor's exact bytes (ECDSA P-256 over SHA-256) and writes the 64-byte signature,\n"
    "r then s, to --out. A descriptor the launcher would refuse is refused with the launcher's reason.\n"
    "The private key is refused, naming both fingerprints, when it does not match --public-key or,\n"
    "when --out lies inside a site, the key that site is published for. A site that keeps a release\n"
    "log takes no signature from sign: publish it with --log-key, so that it is logged.\n";

int RunSign(const CommandArguments& arguments) {
  RequireNoPositionals(arguments);
  const std::filesystem::path out = arguments.Require("out");
  const std::string* public_key = arguments.Find("public-key");
  const UpdateDescriptorRecord record =
      SignDescriptorFile(arguments.Require("private-key"), arguments.Require("descriptor"), out,
                         public_key ? *public_key : std::string(), ReadKeyAccess(arguments));
  std::cout << "Signed version " << record.version << ": wrote " << out.string() << " (64 bytes)\n";
  return kSuccess;
}

}  // namespace

Command SignCommand() {
  return {"sign",
          std::string(kSignHelp) + kPrivateKeyHelp,
          {"private-key", "descriptor", "out", "public-key", "passphrase-file", "pkcs11-module", "pin-file"},
          {},
          RunSign};
}

}  // namespace qvs
