#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "tools/qvs-release/check/service_check.h"
#include "tools/qvs-release/commands/command.h"
#include "tools/qvs-release/commands/service_options.h"
#include "tools/qvs-release/keys/key_files.h"

namespace qvs {
namespace {

constexpr std::chrono::seconds kRetryInterval{5};

constexpr char kCheckHelp[] =
    "Usage: qvs-release check --public-key FILE [--recovery-public-key FILE] [--ca FILE]\n"
    "                         [--expect-site DIR] [--wait SECONDS] [--timeout SECONDS]\n"
    "                         [--connect-to ADDRESS:PORT] [--log-public-key FILE [--log-state FILE]]\n"
    "                         [--strict] [--json | --quiet] HOST\n"
    "\n"
    "Fetches https://HOST/downloads/client/stable.manifest, its signature and the package it names\n"
    "as the launcher does (port 443, the certificate checked, no redirect followed, status 200 only,\n"
    "the launcher's user agent and no Accept or Accept-Encoding header, the body taken as sent, the\n"
    "same size limits) and checks them in the launcher's order. Prints one line per request (status,\n"
    "bytes, Cache-Control, Content-Type, Content-Encoding, Age), warnings about what breaks launchers\n"
    "or caches (a redirect, a compressed body, a missing or long cache lifetime on the manifest or\n"
    "signature, a package that is not cacheable for long) and the verdict.\n"
    "\n"
    "  --public-key FILE  the 72-byte public key blob the launchers are built with\n"
    "  --recovery-public-key FILE  the update key's recovery key the launchers are built with:\n"
    "                     a release signed by either is accepted, and the verdict says which\n"
    "  --ca FILE          trust only the CA certificates in FILE (PEM), not the system's\n"
    "  --expect-site DIR  also require the served files to be byte for byte those of the tree DIR\n"
    "  --wait SECONDS     try again every 5 seconds until the check passes or SECONDS have passed,\n"
    "                     for a release pipeline that waits for a CDN to settle; a try still\n"
    "                     running then is ended\n"
    "  --timeout SECONDS  end a request that has not been answered in full within SECONDS\n"
    "                     (default 300), so that a server that drips its answer cannot hold the\n"
    "                     check\n"
    "  --log-public-key FILE  also require the served descriptor and signature to be an entry of\n"
    "                     the service's release log (downloads/client/log/): its checkpoint signed\n"
    "                     by each verifier key in FILE (from 'keygen --log', or a site's\n"
    "                     qvs-log-key.vkey), the entry proven from its tiles; with the launchers'\n"
    "                     P-256 key, also the entry's proof, fetched and checked as launchers do\n"
    "  --log-state FILE   with --log-public-key: also require the served checkpoint to extend the\n"
    "                     one recorded in FILE (the log only grew), then record it there\n"
    "  --connect-to ADDRESS:PORT  connect there instead of to HOST's address (a staging service,\n"
    "                     one CDN edge); the requests and the certificate check still name HOST\n"
    "  --strict           a warning fails the check (exit 1), for a pipeline that allows none\n"
    "\n"
    "HOST is the host name the launcher is built with (QVS_UPDATE_HOST). Exit: 0 launchers accept\n"
    "what is served (and it is DIR's release), 3 the served package does not match its descriptor,\n"
    "2 wrong arguments, 1 anything else.\n";

// The check's exit status: the report's, but with --strict a warning fails a check that passed.
int ExitCode(const ServiceReport& report, bool strict) {
  return report.exit_code == 0 && strict && !report.warnings.empty() ? kFailure : report.exit_code;
}

// The report: one line per request and the verdict on stdout (a failing verdict on stderr), each
// warning on stderr; with --json the same facts as one object, returned instead of the stdout lines.
Json Print(const ServiceReport& report, Output output, bool strict) {
  for (const std::string& warning : report.warnings) {
    std::cerr << "warning: " << warning << "\n";
  }
  const bool passes = ExitCode(report, strict) == 0;
  if (!passes) {
    std::cerr << report.verdict << "\n";
    if (report.exit_code == 0) {
      std::cerr << "qvs-release check: --strict: " << report.warnings.size()
                << (report.warnings.size() == 1 ? " warning" : " warnings") << "\n";
    }
  }
  if (output == Output::kText) {
    for (const std::string& line : report.resources) {
      std::cout << line << "\n";
    }
    if (passes) {
      std::cout << report.verdict << "\n";
    }
  }
  return Json::Object()
      .Set("accepted", report.exit_code == 0)
      .Set("exit_code", ExitCode(report, strict))
      .Set("verdict", report.verdict)
      .Set("requests", JsonStrings(report.resources))
      .Set("warnings", JsonStrings(report.warnings));
}

}  // namespace

ServiceCheck RunServiceCheck(const CommandArguments& arguments, Output output) {
  // Everything local is settled before the first request: a bad key or tree is not worth waiting for.
  ServiceAddress service = ReadServiceAddress(arguments);
  const std::string& public_key = arguments.Require("public-key");
  const std::string* site = NonEmptyOption(arguments, "expect-site");
  const std::chrono::seconds wait = ParseSeconds(arguments, "wait", 0, std::chrono::seconds(0));
  const bool strict = arguments.flags.contains("strict");
  const ScopedPkey key = LoadPublicKeyBlob(public_key);
  const ScopedPkey recovery = LoadRecoveryKey(arguments);
  const std::optional<LogWatch> log = ReadLogWatch(arguments);
  if (log) {
    WarnAboutOrigin(*log, service.host);
  }
  std::optional<ExpectedRelease> expected;
  if (site != nullptr) {
    expected = ReadExpectedRelease(key.get(), *site);
  }
  const CurlGlobal curl;

  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (int attempt = 1;; ++attempt) {
    // A try still running when the wait is over is ended there; the last try, made once it is
    // over, has each request's own deadline.
    service.deadline.reset();
    if (std::chrono::steady_clock::now() < deadline) {
      service.deadline = deadline;
    }
    const ServiceReport report =
        CheckService(key.get(), recovery.get(), service, expected ? &*expected : nullptr, log ? &*log : nullptr);
    const auto left = deadline - std::chrono::steady_clock::now();
    if (report.exit_code == 0 || left <= std::chrono::seconds(0)) {
      Json json = Print(report, output, strict);
      if (report.exit_code != 0 && wait > std::chrono::seconds(0)) {
        std::cerr << "qvs-release check: gave up after " << wait.count() << " s and " << attempt
                  << " tries: the service does not serve "
                  << (expected ? "the release in " + expected->site.string()
                               : std::string("a release launchers accept"))
                  << "\n";
      }
      return {ExitCode(report, strict), std::move(json)};
    }
    const auto pause = std::min<std::chrono::steady_clock::duration>(kRetryInterval, left);
    if (output == Output::kText) {
      std::cout << "waiting: " << report.verdict << " (try " << attempt << "; next in "
                << std::chrono::ceil<std::chrono::seconds>(pause).count() << " s)" << std::endl;
    }
    std::this_thread::sleep_for(pause);
  }
}

namespace {

int RunCheck(const CommandArguments& arguments) {
  const Output output = ReadOutput(arguments);
  const ServiceCheck check = RunServiceCheck(arguments, output);
  if (output == Output::kJson) {
    PrintJson(check.json);
  }
  return check.exit_code;
}

}  // namespace

Command CheckCommand() {
  std::vector<std::string_view> flags = {"strict"};
  flags.insert(flags.end(), std::begin(kOutputFlags), std::end(kOutputFlags));
  return {"check",
          std::string(kCheckHelp) + "\n" + kOutputHelp,
          {"public-key", "recovery-public-key", "ca", "expect-site", "wait", "timeout", "log-public-key", "log-state",
           "connect-to"},
          flags,
          RunCheck};
}

}  // namespace qvs
