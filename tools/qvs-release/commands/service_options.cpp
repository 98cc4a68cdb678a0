#include "tools/qvs-release/commands/service_options.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <iostream>

#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/commands/command.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/log/checkpoint.h"

namespace qvs {
namespace {

constexpr std::int64_t kLongestWaitSeconds = 86400;

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

}  // namespace

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
  if (const std::string* address = NonEmptyOption(arguments, "connect-to")) {
    const std::size_t colon = address->rfind(':');
    const std::string port = colon == std::string::npos ? std::string() : address->substr(colon + 1);
    if (colon == std::string::npos || colon == 0 || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) == 0 ||
        std::stoul(port) > 65535) {
      throw UsageError("--connect-to is HOST:PORT (an address to connect to in place of HOST's), not '" + *address +
                       "'");
    }
    service.connect_to = *address;
  }
  return service;
}

}  // namespace qvs
