#include "tools/qvs-release/site/site_log_keys.h"

#include <algorithm>

#include "common/site_layout.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

std::string Shown(const LogVerifier& key) { return key.name + "+" + key.KeyIdText(); }

// The key launchers check in `keys`, or its end.
template <typename Keys>
auto LaunchersKey(Keys& keys) {
  return std::find_if(keys.begin(), keys.end(), [](const LogVerifier& k) { return k.launchers_check(); });
}

// The log keys a publish must be given for the site's log as it stands: a site that keeps a log
// is published only with a log key, and one whose log launchers check only with the launchers' key
// too.
void RequireLogKeysGiven(const std::filesystem::path& site, const LogKeyRequest& request, const LogKeySet& site_keys) {
  // A second log started over the first would fight its tiles, and its checkpoint would hide the
  // history auditors hold.
  if (site_keys.empty() && Exists(site / kLogFolder)) {
    throw ToolError(site.string() + " serves a release log (" + (site / kLogFolder).string() + ") but has no " +
                    kSiteLogKeyFileName + ": restore that file, the log's verifier key, and publish again");
  }
  if (request.log_key.empty() && !site_keys.empty()) {
    throw ToolError(site.string() + " keeps a release log (" + kSiteLogKeyFileName + ": " + Shown(site_keys.front()) +
                    "): give --log-key, so that this release is logged like every one before it");
  }
  const auto launchers = LaunchersKey(site_keys);
  if (request.launcher_log_key.empty() && launchers != site_keys.end()) {
    throw ToolError(site.string() + " keeps a release log that launchers check (" + Shown(*launchers) + ", in " +
                    kSiteLogKeyFileName + "): give --launcher-log-key as well, or launchers built with it " +
                    "refuse this release");
  }
}

std::string RecoveryShown(const LogKeyRequest& request) {
  return request.recovery_source + " (" + Shown(*request.recovery) + ")";
}

// The recovery key given backs the key launchers check: it names the same log and is a second key.
void RequireSecondKey(const LogKeyRequest& request, const std::string& log_name, const LogVerifier& launchers) {
  if (request.recovery->name != log_name) {
    throw ToolError(RecoveryShown(request) + " names the log \"" + request.recovery->name +
                    "\", not this site's log \"" + log_name + "\"");
  }
  if (*request.recovery == launchers) {
    throw ToolError(RecoveryShown(request) +
                    " is the key launchers check itself; a recovery key is a second key, kept offline");
  }
}

// The recovery key given for the key launchers check is recorded when the site has none yet or
// the switch has just used the one it records; otherwise it must be that one.
struct RecoveryKeyPlan {
  std::optional<ByteBuffer> file;  // to write; empty bytes: it goes
  std::string written;
};

RecoveryKeyPlan PlanRecoveryKey(const std::filesystem::path& site, const LogKeyRequest& request,
                                const LogKeyPlan& plan) {
  RecoveryKeyPlan recovery;
  if (request.switch_to_recovery && plan.recorded) {
    recovery.file = ByteBuffer();  // its key is now the one launchers check
  }
  if (!request.recovery) {
    return recovery;
  }
  const auto launchers = LaunchersKey(plan.site_keys);
  if (launchers != plan.site_keys.end() && !request.switch_to_recovery) {
    RequireSecondKey(request, plan.site_keys.front().name, *launchers);
  }
  if (request.switch_to_recovery &&
      std::find(plan.site_keys.begin(), plan.site_keys.end(), *request.recovery) != plan.site_keys.end()) {
    throw ToolError(RecoveryShown(request) + " is the key this switch replaces; give a new recovery key");
  }
  if (!request.switch_to_recovery && plan.recorded) {
    if (*plan.recorded != *request.recovery) {
      throw ToolError(RecoveryShown(request) + " is not the recovery key " + site.string() + " records for its log (" +
                      Shown(*plan.recorded) + ", in " + kSiteLogRecoveryKeyFileName +
                      "); to record another one, remove that file first");
    }
    return recovery;
  }
  const std::string text = request.recovery->Text() + "\n";
  recovery.file = ByteBuffer(text.begin(), text.end());
  recovery.written = request.recovery->Text();
  return recovery;
}

}  // namespace

LogKeyPlan PlanLogKeys(const std::filesystem::path& site, const LogKeyRequest& request) {
  LogKeyPlan plan;
  plan.site_keys = ReadSiteLogKeys(site);
  RequireLogKeysGiven(site, request, plan.site_keys);
  if (request.recovery && request.launcher_log_key.empty()) {
    throw UsageError("--log-recovery-public-key backs the key launchers check: give --launcher-log-key as well");
  }
  if (request.log_key.empty()) {
    return plan;
  }
  plan.log = plan.site_keys.empty() ? SiteLog() : ReadSiteLog(site, plan.site_keys);
  plan.recorded = ReadSiteLogRecoveryKey(site);
  if (!request.launcher_log_key.empty()) {
    if (LaunchersKey(plan.site_keys) == plan.site_keys.end()) {
      if (request.switch_to_recovery) {
        throw ToolError(
            "--switch-to-log-recovery-key moves a log from the key launchers check to its recovery key, and the "
            "log of " +
            site.string() + " has none yet (" + kSiteLogKeyFileName + "): publish without it");
      }
      plan.adds_launchers_key = true;
    }
  }
  plan.writes_key_set = plan.site_keys.empty() || plan.adds_launchers_key || request.switch_to_recovery;
  RecoveryKeyPlan recovery = PlanRecoveryKey(site, request, plan);
  plan.recovery_file = std::move(recovery.file);
  plan.recovery_written = std::move(recovery.written);
  return plan;
}

LogKeyDecision BindLogKeys(const std::filesystem::path& site, const LogKeyPlan& plan, const LogKeyRequest& request,
                           const LogSigningKey& key, const SigningKey* launcher_key) {
  LogKeyDecision decision;
  LogKeySet keys = plan.site_keys;
  if (!keys.empty()) {
    const LogVerifier given = VerifierOf(keys.front().name, key.key.get());
    if (given.public_key != keys.front().public_key) {
      throw ToolError("--log-key " + request.log_key + " (" + Shown(given) + ") is not the log key of " +
                      site.string() + " (" + Shown(keys.front()) + ", in " + kSiteLogKeyFileName + ")");
    }
  } else {
    keys.push_back(VerifierOf(key.origin, key.key.get()));
    decision.key_written = keys.front().Text();
  }
  if (launcher_key != nullptr) {
    const LogVerifier given = VerifierOf(keys.front().name, launcher_key->public_key());
    const std::string shown = "--launcher-log-key " + request.launcher_log_key + " (" + Shown(given) + ")";
    if (plan.adds_launchers_key) {
      keys.push_back(given);
      decision.launcher_key_added = given.Text();
    } else {
      LogVerifier& launchers = *LaunchersKey(keys);  // the plan found it in the site's keys
      if (launchers == given) {
        if (request.switch_to_recovery) {
          throw ToolError("--switch-to-log-recovery-key: " + shown +
                          " is the key launchers check already; the switch is signed with its recovery key");
        }
      } else if (!request.switch_to_recovery) {
        const bool is_recovery = plan.recorded && *plan.recorded == given;
        throw ToolError(shown + " is not the key launchers check in the log of " + site.string() + " (" +
                        Shown(launchers) + ", in " + kSiteLogKeyFileName + ")" +
                        (is_recovery ? ": it is that key's recovery key (" + std::string(kSiteLogRecoveryKeyFileName) +
                                           "). Only when the launchers' log key is lost, publish with "
                                           "--switch-to-log-recovery-key: the recovery key then becomes the key "
                                           "launchers check"
                                     : std::string()));
      } else {
        if (plan.recorded && *plan.recorded != given) {
          throw ToolError(shown + " is not the recovery key " + site.string() + " records for its log (" +
                          Shown(*plan.recorded) + ", in " + kSiteLogRecoveryKeyFileName + ")");
        }
        decision.switch_line = "launchers' log key " + Shown(launchers) + " replaced by its recovery key " +
                               Shown(given) + ", from entry " + std::to_string(plan.log->entries.size());
        launchers = given;
      }
    }
    // The key a recovery key backs, where only the opened keys tell it.
    if (request.recovery && (plan.adds_launchers_key || request.switch_to_recovery)) {
      RequireSecondKey(request, keys.front().name, given);
    }
  }
  if (plan.writes_key_set) {
    const std::string text = LogKeySetText(keys);
    decision.key_set = ByteBuffer(text.begin(), text.end());
  }
  decision.log = *plan.log;
  if (plan.site_keys.empty()) {
    decision.log.checkpoint = Checkpoint{keys.front().name, 0, RootOf({})};
  }
  decision.log.verifiers = std::move(keys);
  return decision;
}

}  // namespace qvs
