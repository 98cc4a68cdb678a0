#include <iostream>
#include <string>

#include "tools/qvs-release/check/service_check.h"
#include "tools/qvs-release/commands/command.h"
#include "tools/qvs-release/commands/service_options.h"
#include "tools/qvs-release/keys/key_files.h"

namespace qvs {
namespace {

constexpr char kAuditLogHelp[] =
    "Usage: qvs-release audit-log --log-public-key FILE --public-key FILE [--recovery-public-key FILE]\n"
    "                             [--ca FILE] [--log-state FILE] [--timeout SECONDS]\n"
    "                             [--connect-to ADDRESS:PORT] [--json | --quiet] HOST\n"
    "\n"
    "Monitors the release log of https://HOST: fetches its signed checkpoint and every entry bundle\n"
    "(with the launcher's client rules), recomputes the tree and requires its root to be the\n"
    "checkpoint's, verifies each entry's descriptor and signature with the update key, and prints one\n"
    "line per release ever logged on stdout: INDEX VERSION PACKAGE-PATH SIZE SHA-256; what is new and\n"
    "the summary go to stderr.\n"
    "\n"
    "  --log-public-key FILE  the log's verifier keys, one a line (from 'keygen --log', or a site's\n"
    "                         qvs-log-key.vkey): every one must sign the checkpoint\n"
    "  --public-key FILE      the 72-byte update key blob the launchers are built with\n"
    "  --recovery-public-key FILE  its recovery key: entries signed by either verify, and each line\n"
    "                         ends with the key that signed it, update or recovery\n"
    "  --ca FILE              trust only the CA certificates in FILE (PEM), not the system's\n"
    "  --log-state FILE       require the log to extend the checkpoint recorded in FILE by the last\n"
    "                         run, say what is new, then record the served one\n"
    "  --timeout SECONDS      end a request not answered in full within SECONDS (default 300)\n"
    "  --connect-to ADDRESS:PORT  connect there instead of to HOST's address, as check does\n"
    "\n"
    "Exit: 0 every entry verifies and the tree matches, 2 wrong arguments, 1 anything else.\n";

int RunAuditLog(const CommandArguments& arguments) {
  ServiceAddress service = ReadServiceAddress(arguments);
  const ScopedPkey key = LoadPublicKeyBlob(arguments.Require("public-key"));
  const ScopedPkey recovery = LoadRecoveryKey(arguments);
  const Output output = ReadOutput(arguments);
  arguments.Require("log-public-key");
  const LogWatch watch = *ReadLogWatch(arguments);
  WarnAboutOrigin(watch, service.host);
  const CurlGlobal curl;
  const ResourceFetch fetch = [&](const std::string& path, std::uint64_t limit) {
    ServedResource resource = FetchAsLauncher(service, path, limit);
    if (!resource.failure.empty()) {
      std::cerr << DescribeResource(resource) << "\n";
    }
    return resource;
  };
  const LogAudit audit = AuditLog(fetch, watch, key.get(), recovery.get());
  for (const std::string& failure : audit.failures) {
    std::cerr << failure << "\n";
  }
  if (output == Output::kJson) {
    Json entries = Json::Array();
    for (const AuditedEntry& entry : audit.entries) {
      entries.Add(Json::Object()
                      .Set("index", entry.index)
                      .Set("version", entry.record.version)
                      .Set("path", entry.record.path)
                      .Set("size", entry.record.size)
                      .Set("sha256", entry.record.sha256)
                      .Set("signed_by", entry.by_recovery_key ? "recovery" : "update"));
    }
    PrintJson(Json::Object()
                  .Set("verified", audit.exit_code == 0)
                  .Set("origin", audit.origin)
                  .Set("size", audit.size)
                  .Set("entries", std::move(entries))
                  .Set("recorded_size", audit.recorded_size ? Json(*audit.recorded_size) : Json())
                  .Set("failures", JsonStrings(audit.failures)));
    return audit.exit_code;
  }
  if (output == Output::kQuiet) {
    return audit.exit_code;
  }
  // The data on stdout, one release a line, for a script; what it means on stderr.
  for (const AuditedEntry& entry : audit.entries) {
    std::cout << entry.index << " " << entry.record.version << " " << entry.record.path << " " << entry.record.size
              << " " << entry.record.sha256;
    // A switch to the recovery key shows to every monitor: each line names the key that signed it.
    if (recovery) {
      std::cout << (entry.by_recovery_key ? " recovery" : " update");
    }
    std::cout << "\n";
  }
  if (audit.recorded_size) {
    std::cerr << (*audit.recorded_size == audit.size
                      ? "Nothing new since the recorded checkpoint"
                      : "New since the recorded checkpoint: entries " + std::to_string(*audit.recorded_size) + " to " +
                            std::to_string(audit.size - 1))
              << " (" << watch.state->string() << ").\n";
  }
  if (audit.exit_code == 0) {
    std::cerr << "The log " << audit.origin << " holds " << audit.size
              << (audit.size == 1 ? " entry, signed" : " entries, each signed") << " with the update key"
              << (recovery ? " or its recovery key" : "") << "; its checkpoint is signed by " << audit.signed_by
              << ".\n";
  }
  return audit.exit_code;
}

}  // namespace

Command AuditLogCommand() {
  return {"audit-log",
          std::string(kAuditLogHelp) + "\n" + kOutputHelp,
          {"log-public-key", "public-key", "recovery-public-key", "ca", "log-state", "timeout", "connect-to"},
          {std::begin(kOutputFlags), std::end(kOutputFlags)},
          RunAuditLog};
}

}  // namespace qvs
