#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "tools/qvs-release/base/command_line.h"
#include "tools/qvs-release/base/curl_easy.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/check/service_fetch.h"
#include "tools/qvs-release/check/service_log.h"
#include "tools/qvs-release/keys/openssl_handles.h"

namespace qvs {

// The options check and audit-log share: where the service is and how it is reached, its log, and
// the update key's recovery key.

// HOST (the launcher's QVS_UPDATE_HOST), --timeout, --ca and --connect-to.
ServiceAddress ReadServiceAddress(const CommandArguments& arguments);
// --log-public-key and --log-state, read before the first request; nothing without a log key.
std::optional<LogWatch> ReadLogWatch(const CommandArguments& arguments);
// Warns on stderr when the log's origin does not name `host`.
void WarnAboutOrigin(const LogWatch& watch, const std::string& host);
// The update key's recovery key, when given: null otherwise.
ScopedPkey LoadRecoveryKey(const CommandArguments& arguments);
// A whole number of seconds from `least` to a day for --NAME; `absent` without it.
std::chrono::seconds ParseSeconds(const CommandArguments& arguments, std::string_view name, std::int64_t least,
                                  std::chrono::seconds absent);

}  // namespace qvs
