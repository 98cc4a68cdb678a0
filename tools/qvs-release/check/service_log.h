#pragma once

#include <openssl/evp.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "tools/qvs-release/check/service_fetch.h"
#include "tools/qvs-release/log/checkpoint.h"
#include "trust/update_descriptor.h"

namespace qvs {

// A service's release log as its auditors see it: fetched with the launcher's client rules, its
// checkpoint signed by each of the log keys they know (the Ed25519 key, the launchers' P-256 key,
// or both), and with --log-state the checkpoint seen last time (a file holding that signed note)
// to which the served one must be consistent.
struct LogWatch {
  std::vector<LogVerifier> verifiers;
  std::optional<std::filesystem::path> state;
};

// Fetches one resource of the service (and reports it); `limit` as FetchAsLauncher.
using ResourceFetch = std::function<ServedResource(const std::string& path, std::uint64_t limit)>;

// What one look at the log found: an empty failure when it holds what was asked for.
struct LogFinding {
  std::string failure;
  std::string summary;  // for the verdict, e.g. "logged as entry 4 of 5"
  std::vector<std::string> warnings;
  ByteBuffer checkpoint_note;
};

// The served descriptor and signature, as one entry, must be in the served log (an inclusion
// proof from its tiles checked against the signed root); with a state, the log must have only
// grown since (a consistency proof). Never raises for what the service serves.
LogFinding CheckLogged(const ResourceFetch& fetch, const LogWatch& watch, ByteView entry);

// What the monitor found: every release ever logged, each verified with the update key (or, when
// given, its recovery key), and what is new since the recorded state.
struct AuditedEntry {
  std::uint64_t index = 0;
  UpdateDescriptorRecord record;
  bool by_recovery_key = false;
};
struct LogAudit {
  int exit_code = 1;  // 0 every entry verifies and the tree matches
  std::string origin;
  std::string signed_by;  // "the log key NAME+ID", or "the log keys ..."
  std::uint64_t size = 0;
  std::vector<AuditedEntry> entries;
  std::vector<std::string> failures;           // each entry that does not verify, or what stopped the look
  std::optional<std::uint64_t> recorded_size;  // with a state: the size recorded by the last run
};

// The monitor: fetches every entry bundle, recomputes the tree against the signed checkpoint,
// verifies each entry's descriptor, and with a state requires the log to extend it; a passing
// audit records the served checkpoint as the new state.
LogAudit AuditLog(const ResourceFetch& fetch, const LogWatch& watch, EVP_PKEY* update_key, EVP_PKEY* recovery_key);

// The checkpoint recorded in the state file, opened with the log key; nothing when there is no
// state yet. Raises ToolError for a state that is not such a checkpoint, or cannot be written.
std::optional<Checkpoint> ReadLogState(const LogWatch& watch);

// Records the served checkpoint as the new state, atomically.
void RecordLogState(const LogWatch& watch, const ByteBuffer& checkpoint_note);

}  // namespace qvs
