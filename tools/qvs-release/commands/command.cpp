#include "tools/qvs-release/commands/command.h"

#include <iostream>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/site/site_lock.h"

namespace qvs {

const char kToolHelp[] =
    "Usage: qvs-release COMMAND [OPTIONS]\n"
    "\n"
    "The publisher's tool for the Quorvantis Support launcher.\n"
    "\n"
    "Commands:\n"
    "  keygen       make a new P-256 update-signing key pair\n"
    "  sign         sign an update descriptor (64 bytes, r then s)\n"
    "  publish      write a release into the static tree the update service serves\n"
    "  verify       check a descriptor, signature and package as the launcher does\n"
    "  verify-site  check that a site serves a consistent release\n"
    "  check        check what the update service serves, fetched as the launcher fetches it\n"
    "  upload       copy a site into an S3-compatible bucket in the order launchers need\n"
    "  audit-log    check every release in a service's release log, as a monitor does\n"
    "\n"
    "Run 'qvs-release COMMAND --help' for a command's options, 'qvs-release --version' for the tool's\n"
    "version and the commit it was built from.\n";

namespace {

const std::vector<Command>& AllCommands() {
  static const std::vector<Command> commands = {KeygenCommand(), SignCommand(),       PublishCommand(),
                                                VerifyCommand(), VerifySiteCommand(), UploadCommand(),
                                                CheckCommand(),  AuditLogCommand()};
  return commands;
}

}  // namespace

const Command* FindCommand(std::string_view name) {
  for (const Command& command : AllCommands()) {
    if (command.name == name) {
      return &command;
    }
  }
  return nullptr;
}

std::string UnknownCommand(std::string_view name) {
  std::vector<std::string_view> names;
  for (const Command& command : AllCommands()) {
    names.push_back(command.name);
  }
  const std::string nearest = Nearest(name, names);
  const std::string_view help(kToolHelp);
  return "qvs-release: unknown command '" + std::string(name) + "'" +
         (nearest.empty() ? "" : "; did you mean '" + nearest + "'?") + "\n\n" +
         std::string(help.substr(0, help.find('\n') + 1)) + "Run 'qvs-release --help' for the commands.\n";
}

// A mistake is answered with the reason and the command's usage lines, not its whole help.
std::string UsageOf(const Command& command) {
  const std::size_t end = command.help.find("\n\n");
  return command.help.substr(0, end) + "\n\nRun 'qvs-release " + std::string(command.name) + " --help' for more.\n";
}

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
