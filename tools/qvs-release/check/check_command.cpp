#include "tools/qvs-release/check/check_command.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <thread>

#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/check/service_check.h"
#include "tools/qvs-release/check/service_log.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/log/checkpoint.h"

namespace qvs {

const char kCheckHelp[] =
    "Usage: qvs-release check --public-key FILE [--recovery-public-key FILE] [--ca FILE]\n"
    "                         [--expect-site DIR] [--wait SECONDS] [--timeout SECONDS] HOST\n"
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
    "\n"
    "HOST is the host name the launcher is built with (QVS_UPDATE_HOST). Exit: 0 launchers accept\n"
    "what is served (and it is DIR's release), 3 the served package does not match its descriptor,\n"
    "2 wrong arguments, 1 anything else.\n";

namespace {

constexpr std::chrono::seconds kRetryInterval{5};
constexpr std::int64_t kLongestWaitSeconds = 86400;

struct CurlGlobal {
  CurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw ToolError("libcurl could not be initialised");
    }
  }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

// A whole number of seconds from `least` to kLongestWaitSeconds for --NAME; `absent` without it.
std::chrono::seconds ParseSeconds(const CommandArguments& arguments, std::string_view name, std::int64_t least,
                                  std::chrono::seconds absent) {
  const std::string* text = arguments.Find(name);
  if (text == nullptr) {
    return absent;
  }
  std::int64_t seconds = -1;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), seconds);
  if (text->empty() || error != std::errc() || end != text->data() + text->size() || seconds < least ||
      seconds > kLongestWaitSeconds) {
    throw UsageError("--" + std::string(name) + " takes a whole number of seconds from " + std::to_string(least) +
                     " to " + std::to_string(kLongestWaitSeconds) + ", not '" + *text + "'");
  }
  return std::chrono::seconds(seconds);
}

const std::string* NonEmptyOption(const CommandArguments& arguments, std::string_view name) {
  const std::string* value = arguments.Find(name);
  if (value != nullptr && value->empty()) {
    throw UsageError("--" + std::string(name) + " is empty");
  }
  return value;
}

void RequireReadableFile(const std::filesystem::path& path) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0) {
    throw ToolError(path.string() + ": cannot be read: " + std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    throw ToolError(path.string() + ": is not a regular file");
  }
}

void Print(const ServiceReport& report) {
  for (const std::string& line : report.resources) {
    std::cout << line << "\n";
  }
  for (const std::string& warning : report.warnings) {
    std::cerr << "warning: " << warning << "\n";
  }
  (report.exit_code == 0 ? std::cout : std::cerr) << report.verdict << "\n";
}

// --log-public-key and --log-state, read before the first request.
std::optional<LogWatch> ReadLogWatch(const CommandArguments& arguments) {
  const std::string* verifier = NonEmptyOption(arguments, "log-public-key");
  const std::string* state = NonEmptyOption(arguments, "log-state");
  if (verifier == nullptr) {
    if (state != nullptr) {
      throw UsageError("--log-state needs --log-public-key");
    }
    return std::nullopt;
  }
  LogWatch watch{ReadLogVerifiers(*verifier), std::nullopt};
  if (state != nullptr) {
    watch.state = *state;
    ReadLogState(watch);  // a state that cannot be used is not worth a request
  }
  return watch;
}

void WarnAboutOrigin(const LogWatch& watch, const std::string& host) {
  if (const std::optional<std::string> warning = OriginWarning(watch.verifiers.front().name, host)) {
    std::cerr << "warning: " << *warning << "\n";
  }
}

// The update key's recovery key, when given: null otherwise.
ScopedPkey LoadRecoveryKey(const CommandArguments& arguments) {
  const std::string* recovery = NonEmptyOption(arguments, "recovery-public-key");
  return recovery == nullptr ? ScopedPkey() : LoadPublicKeyBlob(*recovery);
}

ServiceAddress ReadServiceAddress(const CommandArguments& arguments) {
  if (arguments.positionals.size() != 1) {
    throw UsageError("expected one HOST, got " + std::to_string(arguments.positionals.size()) + " arguments");
  }
  ServiceAddress service;
  service.host = arguments.positionals.front();
  if (!IsHostName(service.host)) {
    throw UsageError("HOST is the update host name alone (letters, digits, dots and dashes), not '" + service.host +
                     "'");
  }
  service.request_timeout =
      ParseSeconds(arguments, "timeout", 1, std::chrono::duration_cast<std::chrono::seconds>(kDefaultRequestTimeout));
  if (const std::string* ca = NonEmptyOption(arguments, "ca")) {
    RequireReadableFile(*ca);
    service.ca_file = *ca;
  }
  return service;
}

}  // namespace

const char kAuditLogHelp[] =
    "Usage: qvs-release audit-log --log-public-key FILE --public-key FILE [--recovery-public-key FILE]\n"
    "                             [--ca FILE] [--log-state FILE]\n"
    "                             [--timeout SECONDS] HOST\n"
    "\n"
    "Monitors the release log of https://HOST: fetches its signed checkpoint and every entry bundle\n"
    "(with the launcher's client rules), recomputes the tree and requires its root to be the\n"
    "checkpoint's, verifies each entry's descriptor and signature with the update key, and prints one\n"
    "line per release ever logged: INDEX VERSION PACKAGE-PATH SIZE SHA-256.\n"
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
    "\n"
    "Exit: 0 every entry verifies and the tree matches, 2 wrong arguments, 1 anything else.\n";

int RunAuditLog(const CommandArguments& arguments) {
  ServiceAddress service = ReadServiceAddress(arguments);
  const ScopedPkey key = LoadPublicKeyBlob(arguments.Require("public-key"));
  const ScopedPkey recovery = LoadRecoveryKey(arguments);
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
  return AuditLog(fetch, watch, key.get(), recovery.get(), std::cout, std::cerr);
}

int RunCheck(const CommandArguments& arguments) {
  // Everything local is settled before the first request: a bad key or tree is not worth waiting for.
  ServiceAddress service = ReadServiceAddress(arguments);
  const std::string& public_key = arguments.Require("public-key");
  const std::string* site = NonEmptyOption(arguments, "expect-site");
  const std::chrono::seconds wait = ParseSeconds(arguments, "wait", 0, std::chrono::seconds(0));
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
      Print(report);
      if (report.exit_code != 0 && wait > std::chrono::seconds(0)) {
        std::cerr << "qvs-release check: gave up after " << wait.count() << " s and " << attempt
                  << " tries: the service does not serve "
                  << (expected ? "the release in " + expected->site.string()
                               : std::string("a release launchers accept"))
                  << "\n";
      }
      return report.exit_code;
    }
    const auto pause = std::min<std::chrono::steady_clock::duration>(kRetryInterval, left);
    std::cout << "waiting: " << report.verdict << " (try " << attempt << "; next in "
              << std::chrono::ceil<std::chrono::seconds>(pause).count() << " s)" << std::endl;
    std::this_thread::sleep_for(pause);
  }
}

}  // namespace qvs
