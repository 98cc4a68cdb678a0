// qvs-release: the publisher's tool. Makes the update-signing key, signs descriptors, lays out the
// static tree the update service serves, and checks a release by the launcher's own rules.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/qvs-release/base/command_line.h"
#include "tools/qvs-release/base/interruption.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/check/check_command.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/pkcs11_uri.h"
#include "tools/qvs-release/keys/token_key.h"
#include "tools/qvs-release/log/checkpoint.h"
#include "tools/qvs-release/log/site_log.h"
#include "tools/qvs-release/site/publish.h"
#include "tools/qvs-release/site/sign.h"
#include "tools/qvs-release/site/site_key.h"
#include "tools/qvs-release/site/site_lock.h"
#include "tools/qvs-release/site/verify.h"
#include "tools/qvs-release/site/verify_site.h"
#include "tools/qvs-release/tool_version.h"

namespace qvs {
namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

constexpr char kToolHelp[] =
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
    "  audit-log    check every release in a service's release log, as a monitor does\n"
    "\n"
    "Run 'qvs-release COMMAND --help' for a command's options, 'qvs-release --version' for the tool's\n"
    "version and the commit it was built from.\n";

constexpr char kKeygenHelp[] =
    "Usage: qvs-release keygen --private-key FILE --public-key FILE [--encrypt [--passphrase-file FILE]]\n"
    "       qvs-release keygen --private-key pkcs11:token=TOKEN;object=LABEL --public-key FILE\n"
    "                          [--pkcs11-module PATH] [--pin-file FILE]\n"
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

// The private-key options shared by sign and publish.
constexpr char kPrivateKeyHelp[] =
    "\n"
    "--private-key FILE is a PKCS#8 PEM file, unencrypted or encrypted (as 'keygen --encrypt' writes);\n"
    "the passphrase of an encrypted one is asked on the terminal without echo, or read from the first\n"
    "line of --passphrase-file FILE for unattended signing.\n"
    "--private-key pkcs11:token=TOKEN;object=LABEL names a P-256 key in a token (a PKCS#11 URI, RFC\n"
    "7512: also id=, serial=, type=private; values percent-encoded); it signs inside the token.\n"
    "  --pkcs11-module PATH    the token's PKCS#11 module (default: $QVS_PKCS11_MODULE)\n"
    "  --pin-file FILE         the token's PIN from FILE's first line (default: asked on the terminal\n"
    "                          without echo)\n";

constexpr char kSignHelp[] =
    "Usage: qvs-release sign --private-key FILE --descriptor FILE --out FILE [--public-key FILE]\n"
    "                        [--passphrase-file FILE]\n"
    "\n"
    "Signs the descriptor's exact bytes (ECDSA P-256 over SHA-256) and writes the 64-byte signature,\n"
    "r then s, to --out. A descriptor the launcher would refuse is refused with the launcher's reason.\n"
    "The private key is refused, naming both fingerprints, when it does not match --public-key or,\n"
    "when --out lies inside a site, the key that site is published for. A site that keeps a release\n"
    "log takes no signature from sign: publish it with --log-key, so that it is logged.\n";

constexpr char kPublishHelp[] =
    "Usage: qvs-release publish --private-key FILE --site DIR --version VERSION --package FILE\n"
    "                           [--name NAME] [--public-key FILE] [--passphrase-file FILE]\n"
    "\n"
    "Lays out or updates the static tree under DIR:\n"
    "  downloads/client/packages/NAME      the package (default NAME: QuorvantisSupportHost-VERSION.exe)\n"
    "  downloads/client/stable.manifest    the update descriptor naming it\n"
    "  downloads/client/stable.manifest.sig  its signature\n"
    "written in that order, each whole: staged outside downloads/, then moved in, the package by a\n"
    "link that never replaces a file, the descriptor and its signature each by a rename.\n"
    "VERSION is 1 to 32 digits, '-' and '.', beginning and ending with a digit; NAME uses letters,\n"
    "digits, '.', '-' and '_'; the package holds 1 to 16777216 bytes. A published version never\n"
    "changes: the same bytes are accepted again, other bytes are refused, under any NAME; so is a\n"
    "package already published under NAME with other bytes.\n"
    "  --allow-odd-version     take a VERSION that does not begin and end with a digit ('.1', '-1')\n"
    "  --allow-downgrade       take a VERSION lower than the served one (compared number by number),\n"
    "                          which every launcher then goes back to\n"
    "\n"
    "DIR also holds, outside downloads/ and never to be served:\n"
    "  qvs-site-key.pub     the public key the site is published for, written by the first publish\n"
    "                       (from --public-key, or the private key's own half); a private key that\n"
    "                       does not match it is refused, naming both fingerprints\n"
    "  qvs-publish.lock     one publish at a time: a second one waits up to 2 minutes, then gives up\n"
    "  qvs-publish.staging  the new files while they are written; removed on failure and Ctrl-C\n"
    "  qvs-publish.pending  a publish that was decided but stopped before it was complete\n"
    "A publish that was stopped (Ctrl-C, SIGTERM, a kill, a crash) is completed or undone by the next\n"
    "one; 'qvs-release verify-site DIR' tells whether the site is consistent.\n"
    "\n"
    "  --log-key FILE          also append the signed descriptor to the site's release log under\n"
    "                          downloads/client/log/ (tiles, entry bundles and a checkpoint signed\n"
    "                          with this Ed25519 key from 'keygen --log'); the first such publish\n"
    "                          records the log's verifier key in DIR/qvs-log-key.vkey, and from then\n"
    "                          on every publish needs this same key. The same release published\n"
    "                          again is not logged twice: its served signature is kept.\n"
    "  --log-passphrase-file FILE  the log key's passphrase (default: asked on the terminal); also\n"
    "                          the launchers' log key's, when that is a file\n"
    "  --launcher-log-key FILE|pkcs11:URI  with --log-key: the P-256 log key launchers check, from\n"
    "                          'keygen --log --launcher'; it signs every checkpoint beside the log\n"
    "                          key, and each entry gets its proof, downloads/client/log/proof/LEAF,\n"
    "                          which launchers built with QVS_LOG_KEY_FILE fetch. A token key takes\n"
    "                          --pin-file and --pkcs11-module as the update key does. The first such\n"
    "                          publish adds its verifier key to DIR/qvs-log-key.vkey; from then on\n"
    "                          every publish needs it.\n";

constexpr char kVerifyHelp[] =
    "Usage: qvs-release verify --public-key FILE DESCRIPTOR SIGNATURE PACKAGE\n"
    "\n"
    "Checks three files by the launcher's rules and answers like 'QuorvantisSupport.exe\n"
    "--verify-package': exit 0 the package matches, 3 it does not, 2 wrong arguments, 1 anything\n"
    "else (unreadable or oversized file, untrusted signature, malformed descriptor), with the\n"
    "reason on stderr. FILE is the 72-byte public key blob.\n";

constexpr char kVerifySiteHelp[] =
    "Usage: qvs-release verify-site [--public-key FILE] DIR\n"
    "\n"
    "Checks that the site DIR serves a consistent release: no publish was left unfinished, and\n"
    "downloads/client/stable.manifest, its signature and the package it names pass the launcher's\n"
    "checks with the site's key (DIR/qvs-site-key.pub, or FILE, which must then be the same key).\n"
    "Waits for a publish that is running. Exit codes as 'verify': 0 consistent, 3 the package does\n"
    "not match, 2 wrong arguments, 1 anything else, with the reason on stderr.\n";

// A wait behind another publish is announced once, so that it does not look like a hang.
void AnnounceWait(const std::filesystem::path& site) {
  std::cerr << "qvs-release: waiting for another qvs-release working on " << site.string() << " ("
            << (site / kSiteLockFileName).string() << ")\n";
}

struct Command {
  std::string_view name;
  std::string help;
  std::vector<std::string_view> options;
  std::vector<std::string_view> flags;
  int (*run)(const CommandArguments&);
};

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

int RunPublish(const CommandArguments& arguments) {
  RequireNoPositionals(arguments);
  PublishRequest request;
  request.private_key = arguments.Require("private-key");
  request.site = arguments.Require("site");
  request.version = arguments.Require("version");
  request.package = arguments.Require("package");
  if (const std::string* name = arguments.Find("name")) {
    request.name = *name;
  }
  if (const std::string* public_key = arguments.Find("public-key")) {
    request.public_key = *public_key;
  }
  request.key_access = ReadKeyAccess(arguments);
  if (const std::string* log_key = arguments.Find("log-key")) {
    request.log_key = *log_key;
  }
  if (const std::string* file = arguments.Find("log-passphrase-file")) {
    if (request.log_key.empty()) {
      throw UsageError("--log-passphrase-file needs --log-key");
    }
    request.log_key_access.passphrase_file = *file;
  }
  if (const std::string* launcher_key = arguments.Find("launcher-log-key")) {
    request.launcher_log_key = *launcher_key;
    if (IsPkcs11Uri(*launcher_key)) {
      request.launcher_log_key_access.pin_file = request.key_access.pin_file;
      request.launcher_log_key_access.pkcs11_module = request.key_access.pkcs11_module;
    } else {
      request.launcher_log_key_access.passphrase_file = request.log_key_access.passphrase_file;
    }
  }
  if (const std::string* file = arguments.Find("recovery-public-key")) {
    request.recovery_public_key = *file;
  }
  if (const std::string* file = arguments.Find("log-recovery-public-key")) {
    request.log_recovery_public_key = *file;
  }
  request.switch_to_recovery_key = arguments.flags.contains("switch-to-recovery-key");
  request.allow_odd_version = arguments.flags.contains("allow-odd-version");
  request.allow_downgrade = arguments.flags.contains("allow-downgrade");
  request.switch_to_log_recovery_key = arguments.flags.contains("switch-to-log-recovery-key");
  request.waiting = [&] { AnnounceWait(request.site); };
  request.mended = [](const std::string& mended) { std::cout << mended << ".\n" << std::flush; };
  const PublishedRelease release = PublishRelease(request);
  std::cout << "Published version " << release.record.version << " (" << release.record.size << " bytes, SHA-256 "
            << release.record.sha256 << ")\n"
            << "  " << release.package_file.string()
            << (release.package_already_there ? " (already there, unchanged)\n" : "\n") << "  "
            << release.descriptor_file.string() << "\n"
            << "  " << release.signature_file.string() << "\n";
  if (release.log_size > 0) {
    std::cout << (release.logged ? "Logged as entry " + std::to_string(release.log_size - 1)
                                 : "Already the log's last entry (" + std::to_string(release.log_size - 1) + ")")
              << " of " << release.log_size << " in " << (request.site / kLogFolder).string() << "\n";
  }
  if (!release.proof_file.empty()) {
    std::cout << "  " << release.proof_file << " (its proof)\n";
  }
  if (!release.launcher_log_key_added.empty()) {
    std::cout << "Launchers can now check the site's release log with " << release.launcher_log_key_added << " ("
              << (request.site / kSiteLogKeyFileName).string() << ")\n";
  }
  if (!release.log_key_written.empty()) {
    std::cout << "The site now keeps a release log, checked with " << release.log_key_written << " ("
              << (request.site / kSiteLogKeyFileName).string() << ")\n";
  }
  if (release.site_key_written) {
    std::cout << "The site is now published for the key " << release.key_fingerprint << " ("
              << (request.site / kSiteKeyFileName).string() << ")\n";
  }
  if (!release.recovery_key_written.empty()) {
    std::cout << "The site now records the recovery key " << release.recovery_key_written << " ("
              << (request.site / kSiteRecoveryKeyFileName).string() << "); build launchers with it as "
              << "QVS_RECOVERY_KEY_FILE\n";
  }
  if (!release.log_recovery_key_written.empty()) {
    std::cout << "The site now records the recovery key of the launchers' log key, " << release.log_recovery_key_written
              << " (" << (request.site / kSiteLogRecoveryKeyFileName).string()
              << "); build launchers with it as QVS_LOG_RECOVERY_KEY_FILE\n";
  }
  for (const std::string& line : release.key_switches) {
    std::cout << "Switched: " << line << " (recorded in " << (request.site / kKeySwitchesFileName).string()
              << "). Launchers built with the recovery key accept this release; make a new recovery key and "
              << "build new launchers with this key and the new one\n";
  }
  return kSuccess;
}

int RunVerify(const CommandArguments& arguments) {
  // As the launcher, wrong arguments answer 2 before any file is read.
  if (arguments.positionals.size() != 3) {
    throw UsageError("expected DESCRIPTOR SIGNATURE PACKAGE, got " + std::to_string(arguments.positionals.size()) +
                     " paths");
  }
  const VerificationResult result = VerifyRelease(arguments.Require("public-key"), arguments.positionals[0],
                                                  arguments.positionals[1], arguments.positionals[2]);
  (result.exit_code == kPackageMatches ? std::cout : std::cerr) << result.report << "\n";
  return result.exit_code;
}

int RunVerifySite(const CommandArguments& arguments) {
  if (arguments.positionals.size() != 1) {
    throw UsageError("expected one site folder, got " + std::to_string(arguments.positionals.size()) + " paths");
  }
  const std::filesystem::path site = arguments.positionals[0];
  const std::string* public_key = arguments.Find("public-key");
  const VerificationResult result =
      VerifySite(site, public_key ? *public_key : std::string(), std::chrono::minutes(2), [&] { AnnounceWait(site); });
  (result.exit_code == kPackageMatches ? std::cout : std::cerr) << result.report << "\n";
  return result.exit_code;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"keygen",
       kKeygenHelp,
       {"private-key", "public-key", "passphrase-file", "pkcs11-module", "pin-file", "log-origin"},
       {"encrypt", "log", "launcher"},
       RunKeygen},
      {"sign",
       std::string(kSignHelp) + kPrivateKeyHelp,
       {"private-key", "descriptor", "out", "public-key", "passphrase-file", "pkcs11-module", "pin-file"},
       {},
       RunSign},
      {"publish",
       std::string(kPublishHelp) + kPrivateKeyHelp,
       {"private-key", "site", "version", "package", "name", "public-key", "passphrase-file", "pkcs11-module",
        "pin-file", "log-key", "log-passphrase-file", "launcher-log-key", "recovery-public-key",
        "log-recovery-public-key"},
       {"switch-to-recovery-key", "switch-to-log-recovery-key", "allow-odd-version", "allow-downgrade"},
       RunPublish},
      {"verify", kVerifyHelp, {"public-key"}, {}, RunVerify},
      {"verify-site", kVerifySiteHelp, {"public-key"}, {}, RunVerifySite},
      {"check", kCheckHelp, {std::begin(kCheckOptions), std::end(kCheckOptions)}, {}, RunCheck},
      {"audit-log", kAuditLogHelp, {std::begin(kAuditLogOptions), std::end(kAuditLogOptions)}, {}, RunAuditLog},
  };
  return commands;
}

int Run(std::span<const std::string> arguments) {
  if (arguments.empty()) {
    std::cerr << kToolHelp;
    return kUsage;
  }
  if (arguments[0] == "--help" || arguments[0] == "-h" || arguments[0] == "help") {
    std::cout << kToolHelp;
    return kSuccess;
  }
  if (arguments[0] == "--version") {
    // Recorded with every release, so that it is known which tool signed it.
    std::cout << "qvs-release " << kToolVersion
              << (kToolCommit[0] != '\0' ? std::string(" (commit ") + kToolCommit + ")" : std::string()) << "\n";
    return kSuccess;
  }
  const Command* command = nullptr;
  for (const Command& candidate : Commands()) {
    if (candidate.name == arguments[0]) {
      command = &candidate;
    }
  }
  if (command == nullptr) {
    std::cerr << "qvs-release: unknown command '" << arguments[0] << "'\n\n" << kToolHelp;
    return kUsage;
  }
  const std::string prefix = "qvs-release " + std::string(command->name) + ": ";
  try {
    const CommandArguments parsed = ParseCommandArguments(arguments.subspan(1), command->options, command->flags);
    if (parsed.help) {
      std::cout << command->help;
      return kSuccess;
    }
    return command->run(parsed);
  } catch (const Interrupted& interrupted) {
    std::cerr << prefix << interrupted.what() << "; this release was not published\n";
    std::fflush(stdout);
    EndBySignal(interrupted.signal_number());
    return kFailure;
  } catch (const UsageError& error) {
    std::cerr << prefix << error.what() << "\n\n" << command->help;
    return kUsage;
  } catch (const std::exception& error) {
    // Launcher sentences, the tool's own messages and file-system errors alike.
    std::cerr << prefix << error.what() << "\n";
    return kFailure;
  }
}

}  // namespace
}  // namespace qvs

int main(int argc, char** argv) {
  // This process may hold the private key that every launcher trusts, decrypted: it never goes
  // into a core dump, and no other process of the same user may read its memory (ptrace).
  const rlimit no_core{0, 0};
  if (::setrlimit(RLIMIT_CORE, &no_core) != 0 || ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
    std::perror("qvs-release: cannot keep the key out of core dumps");
    return 1;
  }
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const int status = qvs::Run(arguments);
  // A failed write to stdout (a full disk, a closed pipe) must not pass for success.
  if (std::fflush(stdout) != 0 && status == 0) {
    return 1;
  }
  return status;
}
