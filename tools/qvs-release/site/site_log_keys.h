#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "common/byte_buffer.h"
#include "tools/qvs-release/keys/signing_key.h"
#include "tools/qvs-release/log/checkpoint.h"
#include "tools/qvs-release/log/site_log.h"

namespace qvs {

// What a publish asks of the site's release log and its keys.
struct LogKeyRequest {
  std::string log_key;                  // --log-key as given; empty: the release is not logged
  std::string launcher_log_key;         // --launcher-log-key as given; empty: none
  std::optional<LogVerifier> recovery;  // --log-recovery-public-key: the recovery key to record
  std::string recovery_source;
  bool switch_to_recovery = false;  // --switch-to-log-recovery-key
};

// The site's log and its keys as a publish finds them and will change them, decided before a key
// is opened, with every check that needs no key. A site that keeps a log is published only with a
// log key, one whose log launchers check only with the launchers' key too; a first --log-key
// starts the log, a first --launcher-log-key adds the key launchers check, and the switch replaces
// that key by its recovery key; the log itself goes on (same origin, same tiles).
struct LogKeyPlan {
  LogKeySet site_keys;                  // the verifier keys the site keeps
  std::optional<LogVerifier> recorded;  // the recovery key it records for the key launchers check
  // The log as served, checked with the site's keys; an empty one when this publish starts it;
  // none without --log-key.
  std::optional<SiteLog> log;
  bool adds_launchers_key = false;
  bool writes_key_set = false;              // a new log, or the key launchers check added or switched
  std::optional<ByteBuffer> recovery_file;  // the recovery key file to write; empty bytes: it goes
  std::string recovery_written;             // the recovery key recorded
};
LogKeyPlan PlanLogKeys(const std::filesystem::path& site, const LogKeyRequest& request);

// The log's keys as a publish leaves them: the plan bound to the opened keys, with the checks only
// they can make (the log key is the site's, the launchers' key is the one they check or, on the
// switch, its recovery key).
struct LogKeyDecision {
  SiteLog log;                        // with its verifier keys as they will stand
  std::optional<ByteBuffer> key_set;  // the key set file, when new or changed
  std::string key_written;            // the log's first verifier key, for a new log
  std::string launcher_key_added;     // the key launchers check, when this publish adds it
  std::string switch_line;            // the switch to the recovery key, when made
};
LogKeyDecision BindLogKeys(const std::filesystem::path& site, const LogKeyPlan& plan, const LogKeyRequest& request,
                           const LogSigningKey& key, const SigningKey* launcher_key);

}  // namespace qvs
