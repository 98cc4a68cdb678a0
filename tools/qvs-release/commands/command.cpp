#include "tools/qvs-release/commands/command.h"

#include <iostream>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/site/site_lock.h"

namespace qvs {

const char kPrivateKeyHelp[] =
    "\n"
    "--private-key FILE is a PKCS#8 PEM file, unencrypted or encrypted (as 'keygen --encrypt' writes);\n"
    "the passphrase of an encrypted one is asked on the terminal without echo, or read from the first\n"
    "line of --passphrase-file FILE for unattended signing.\n"
    "--private-key pkcs11:token=TOKEN;object=LABEL names a P-256 key in a token (a PKCS#11 URI, RFC\n"
    "7512: also id=, serial=, type=private; values percent-encoded); it signs inside the token.\n"
    "  --pkcs11-module PATH    the token's PKCS#11 module (default: $QVS_PKCS11_MODULE)\n"
    "  --pin-file FILE         the token's PIN from FILE's first line (default: asked on the terminal\n"
    "                          without echo)\n";

const char kOutputHelp[] =
    "  --json                  print one JSON object on stdout instead of the text (the same facts;\n"
    "                          failures and warnings stay on stderr, the exit status is the same)\n"
    "  --quiet                 print nothing on stdout; failures and warnings still go to stderr\n";

void RequireNoPositionals(const CommandArguments& arguments) {
  if (!arguments.positionals.empty()) {
    throw UsageError("unexpected argument " + arguments.positionals.front());
  }
}

KeyAccess ReadKeyAccess(const CommandArguments& arguments) {
  KeyAccess access;
  if (const std::string* file = arguments.Find("passphrase-file")) {
    access.passphrase_file = *file;
  }
  if (const std::string* file = arguments.Find("pin-file")) {
    access.pin_file = *file;
  }
  if (const std::string* module = arguments.Find("pkcs11-module")) {
    access.pkcs11_module = *module;
  }
  return access;
}

void AnnounceWait(const std::filesystem::path& site) {
  std::cerr << "qvs-release: waiting for another qvs-release working on " << site.string() << " ("
            << (site / kSiteLockFileName).string() << ")\n";
}

const std::string* NonEmptyOption(const CommandArguments& arguments, std::string_view name) {
  const std::string* value = arguments.Find(name);
  if (value != nullptr && value->empty()) {
    throw UsageError("--" + std::string(name) + " is empty");
  }
  return value;
}

Output ReadOutput(const CommandArguments& arguments) {
  const bool json = arguments.flags.contains("json");
  const bool quiet = arguments.flags.contains("quiet");
  if (json && quiet) {
    throw UsageError("--json and --quiet exclude each other");
  }
  return json ? Output::kJson : quiet ? Output::kQuiet : Output::kText;
}

void PrintJson(const Json& json) { std::cout << json.Text() << "\n"; }

}  // namespace qvs
