#pragma once

#include <string_view>

#include "tools/qvs-release/base/command_line.h"

namespace qvs {

extern const char kCheckHelp[];
inline constexpr std::string_view kCheckOptions[] = {
    "public-key", "recovery-public-key", "ca", "expect-site", "wait", "timeout", "log-public-key", "log-state"};

// qvs-release check: what the update service really serves, fetched as a launcher fetches it.
// Prints one line per resource, warnings and a verdict; answers 0, 3 or 1 like verify.
int RunCheck(const CommandArguments& arguments);

}  // namespace qvs

namespace qvs {

extern const char kAuditLogHelp[];
inline constexpr std::string_view kAuditLogOptions[] = {"log-public-key", "public-key", "recovery-public-key", "ca",
                                                        "log-state",      "timeout"};

// qvs-release audit-log: every release in the service's release log, each verified.
int RunAuditLog(const CommandArguments& arguments);

}  // namespace qvs
