#include "tools/qvs-release/site/publish.h"

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/commands/command.h"
#include "tools/qvs-release/keys/pkcs11_uri.h"
#include "tools/qvs-release/log/site_log.h"
#include "tools/qvs-release/site/site_key.h"

namespace qvs {
namespace {

constexpr char kPublishHelp[] =
    "Usage: qvs-release publish --private-key FILE --site DIR --version VERSION --package FILE\n"
    "                           [--name NAME] [--public-key FILE] [--passphrase-file FILE]\n"
    "                           [--pkcs11-module PATH] [--pin-file FILE] [--log-key FILE\n"
    "                           [--log-passphrase-file FILE] [--launcher-log-key FILE|pkcs11:URI]]\n"
    "                           [--recovery-public-key FILE] [--log-recovery-public-key FILE]\n"
    "                           [--switch-to-recovery-key] [--switch-to-log-recovery-key]\n"
    "                           [--allow-odd-version] [--allow-downgrade] [--dry-run] [--json | --quiet]\n"
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
    "  --dry-run               check everything that needs no key, open no key, change nothing, and\n"
    "                          print the files the publish would write, in the order it would\n"
    "                          write them\n"
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

// The text report: the release, then the files it placed in the order to upload them, then what
// changed about the site's keys and log.
void PrintPublished(const PublishRequest& request, const PublishedRelease& release) {
  std::cout << "Published version " << release.record.version << " (" << release.record.size << " bytes, SHA-256 "
            << release.record.sha256 << "); the files it wrote, in the order to upload them:\n";
  if (release.package_already_there) {
    std::cout << "  " << release.package_file.string() << " (already there, unchanged)\n";
  }
  for (const std::filesystem::path& file : release.served_files) {
    const std::string shown = (request.site / file).string();
    std::cout << "  " << shown << (shown == release.proof_file ? " (its proof)" : "") << "\n";
  }
  if (release.log_size > 0) {
    std::cout << (release.logged ? "Logged as entry " + std::to_string(release.log_size - 1)
                                 : "Already the log's last entry (" + std::to_string(release.log_size - 1) + ")")
              << " of " << release.log_size << " in " << (request.site / kLogFolder).string() << "\n";
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
}

// The plan of --dry-run: what would be placed, in order, and what only the keys can tell.
void PrintPlan(const PublishRequest& request, const PublishPlan& plan, Output output) {
  const auto size_of = [](const PlannedFile& file) { return file.size ? Json(*file.size) : Json(); };
  if (output == Output::kJson) {
    Json files = Json::Array();
    for (const PlannedFile& file : plan.files) {
      files.Add(Json::Object()
                    .Set("path", (request.site / file.path).string())
                    .Set("bytes", size_of(file))
                    .Set("change", file.change));
    }
    PrintJson(Json::Object()
                  .Set("dry_run", true)
                  .Set("version", plan.record.version)
                  .Set("path", plan.record.path)
                  .Set("size", plan.record.size)
                  .Set("sha256", plan.record.sha256)
                  .Set("package_already_there", plan.package_already_there)
                  .Set("pending", plan.pending.empty() ? Json() : Json(plan.pending))
                  .Set("log_entry", plan.log_entry ? Json(plan.log_entry->index) : Json())
                  .Set("logged_already", plan.log_entry && plan.log_entry->logged_signature)
                  .Set("files_in_upload_order", std::move(files))
                  .Set("unchecked", JsonStrings(plan.unchecked)));
    return;
  }
  if (output == Output::kQuiet) {
    return;
  }
  std::cout << "Would publish version " << plan.record.version << " (" << plan.record.size << " bytes, SHA-256 "
            << plan.record.sha256 << "); nothing was changed and no key was opened.\n";
  if (!plan.pending.empty()) {
    std::cout << "First, " << plan.pending << ".\n";
  }
  if (plan.package_already_there) {
    std::cout << "  " << plan.package_file.string() << " (already there, unchanged)\n";
  }
  std::cout << "It would write, in this order:\n";
  for (const PlannedFile& file : plan.files) {
    std::cout << "  " << (request.site / file.path).string() << " (" << file.change
              << (file.size ? ", " + std::to_string(*file.size) + " bytes" : std::string()) << ")\n";
  }
  if (plan.log_entry && plan.log_entry->logged_signature) {
    std::cout << "The release is the log's last entry already (" << plan.log_entry->index
              << "); its served signature would be kept.\n";
  } else if (plan.log_entry) {
    std::cout << "It would log the release as entry " << plan.log_entry->index << ".\n";
  }
  for (const std::string& unchecked : plan.unchecked) {
    std::cout << "Checked only when publishing: " << unchecked << ".\n";
  }
}

Json PublishedJson(const PublishRequest& request, const PublishedRelease& release,
                   const std::vector<std::string>& mended) {
  Json files = Json::Array();
  for (const std::filesystem::path& file : release.served_files) {
    files.Add((request.site / file).string());
  }
  Json json = Json::Object();
  json.Set("version", release.record.version)
      .Set("path", release.record.path)
      .Set("size", release.record.size)
      .Set("sha256", release.record.sha256)
      .Set("package_file", release.package_file.string())
      .Set("package_already_there", release.package_already_there)
      .Set("files_in_upload_order", std::move(files))
      .Set("mended", JsonStrings(mended))
      .Set("key_fingerprint", release.key_fingerprint)
      .Set("site_key_written", release.site_key_written);
  if (release.log_size > 0) {
    json.Set("log", Json::Object()
                        .Set("entry", release.log_size - 1)
                        .Set("size", release.log_size)
                        .Set("logged", release.logged)
                        .Set("proof_file", release.proof_file.empty() ? Json() : Json(release.proof_file)));
  }
  json.Set("recovery_key_written", release.recovery_key_written.empty() ? Json() : Json(release.recovery_key_written))
      .Set("log_recovery_key_written",
           release.log_recovery_key_written.empty() ? Json() : Json(release.log_recovery_key_written))
      .Set("key_switches", JsonStrings(release.key_switches));
  return json;
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
  const Output output = ReadOutput(arguments);
  std::vector<std::string> mended;
  request.mended = [&](const std::string& what) {
    mended.push_back(what);
    if (output == Output::kText) {
      std::cout << what << ".\n" << std::flush;
    }
  };
  if (arguments.flags.contains("dry-run")) {
    PrintPlan(request, PlanPublish(request), output);
    return kSuccess;
  }
  const PublishedRelease release = PublishRelease(request);
  if (output == Output::kJson) {
    PrintJson(PublishedJson(request, release, mended));
  } else if (output == Output::kText) {
    PrintPublished(request, release);
  }
  return kSuccess;
}

}  // namespace

Command PublishCommand() {
  std::vector<std::string_view> flags = {"switch-to-recovery-key", "switch-to-log-recovery-key", "allow-odd-version",
                                         "allow-downgrade", "dry-run"};
  flags.insert(flags.end(), std::begin(kOutputFlags), std::end(kOutputFlags));
  return {"publish",
          std::string(kPublishHelp) + "\n" + kOutputHelp + kPrivateKeyHelp,
          {"private-key", "site", "version", "package", "name", "public-key", "passphrase-file", "pkcs11-module",
           "pin-file", "log-key", "log-passphrase-file", "launcher-log-key", "recovery-public-key",
           "log-recovery-public-key"},
          flags,
          RunPublish};
}

}  // namespace qvs
