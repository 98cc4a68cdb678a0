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
#include "tools/qvs-release/keys/key_files.h"

namespace qvs {

const char kCheckHelp[] =
    "Usage: qvs-release check --public-key FILE [--ca FILE] [--expect-site DIR] [--wait SECONDS]\n"
    "                         [--timeout SECONDS] HOST\n"
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
    "  --ca FILE          trust only the CA certificates in FILE (PEM), not the system's\n"
    "  --expect-site DIR  also require the served files to be byte for byte those of the tree DIR\n"
    "  --wait SECONDS     try again every 5 seconds until the check passes or SECONDS have passed,\n"
    "                     for a release pipeline that waits for a CDN to settle; a try still\n"
    "                     running then is ended\n"
    "  --timeout SECONDS  end a request that has not been answered in full within SECONDS\n"
    "                     (default 300), so that a server that drips its answer cannot hold the\n"
    "                     check\n"
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

// What the launcher's build accepts as QVS_UPDATE_HOST: no scheme, port, path or user.
bool IsHostName(const std::string& host) {
  if (host.empty() || host.front() == '.' || host.front() == '-' || host.back() == '.' || host.back() == '-') {
    return false;
  }
  for (const char character : host) {
    const bool letter_or_digit = (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
                                 (character >= '0' && character <= '9');
    if (!letter_or_digit && character != '.' && character != '-') {
      return false;
    }
  }
  return true;
}

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

}  // namespace

int RunCheck(const CommandArguments& arguments) {
  if (arguments.positionals.size() != 1) {
    throw UsageError("expected one HOST, got " + std::to_string(arguments.positionals.size()) + " arguments");
  }
  ServiceAddress service;
  service.host = arguments.positionals.front();
  if (!IsHostName(service.host)) {
    throw UsageError("HOST is the update host name alone (letters, digits, dots and dashes), not '" + service.host +
                     "'");
  }
  const std::string& public_key = arguments.Require("public-key");
  const std::string* ca = NonEmptyOption(arguments, "ca");
  const std::string* site = NonEmptyOption(arguments, "expect-site");
  const std::chrono::seconds wait = ParseSeconds(arguments, "wait", 0, std::chrono::seconds(0));
  service.request_timeout =
      ParseSeconds(arguments, "timeout", 1, std::chrono::duration_cast<std::chrono::seconds>(kDefaultRequestTimeout));

  // Everything local is settled before the first request: a bad key or tree is not worth waiting for.
  const ScopedPkey key = LoadPublicKeyBlob(public_key);
  if (ca != nullptr) {
    RequireReadableFile(*ca);
    service.ca_file = *ca;
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
    const ServiceReport report = CheckService(key.get(), service, expected ? &*expected : nullptr);
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
