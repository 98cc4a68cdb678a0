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

// The monitor: fetches every entry bundle, recomputes the tree against the signed checkpoint,
// verifies each entry's descriptor with the update key (or, when given, its recovery key: each line
// then ends with the key that signed it), prints one line per release logged and what is new
// since the state. Returns the exit code: 0 all verified, 1 anything else.
int AuditLog(const ResourceFetch& fetch, const LogWatch& watch, EVP_PKEY* update_key, EVP_PKEY* recovery_key,
             std::ostream& out, std::ostream& errors);

// The checkpoint recorded in the state file, opened with the log key; nothing when there is no
// state yet. Raises ToolError for a state that is not such a checkpoint, or cannot be written.
std::optional<Checkpoint> ReadLogState(const LogWatch& watch);

// Records the served checkpoint as the new state, atomically.
void RecordLogState(const LogWatch& watch, const ByteBuffer& checkpoint_note);

}  // namespace qvs
