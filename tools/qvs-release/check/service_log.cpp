#include "tools/qvs-release/check/service_log.h"

#include <algorithm>
#include <vector>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/check/cache_advice.h"
#include "tools/qvs-release/keys/verify.h"
#include "tools/qvs-release/log/merkle_tree.h"
#include "tools/qvs-release/log/site_log.h"

namespace qvs {
namespace {

// "the log key NAME+ID", or "the log keys NAME+ID and NAME+ID".
std::string KeyText(const LogWatch& watch) {
  std::string text = watch.verifiers.size() == 1 ? "the log key " : "the log keys ";
  for (std::size_t i = 0; i < watch.verifiers.size(); ++i) {
    text += (i == 0                            ? ""
             : i + 1 == watch.verifiers.size() ? " and "
                                               : ", ") +
            watch.verifiers[i].name + "+" + watch.verifiers[i].KeyIdText();
  }
  return text;
}

bool LaunchersCheck(const LogWatch& watch) {
  return std::ranges::any_of(watch.verifiers, [](const LogVerifier& key) { return key.launchers_check(); });
}

// The signed checkpoint the service serves, or the failure that stops the look.
std::optional<Checkpoint> FetchCheckpoint(const ResourceFetch& fetch, const LogWatch& watch, LogFinding& finding) {
  const ServedResource note = fetch(std::string(kLogResourcePath) + kCheckpointName, kCheckpointSizeLimit);
  if (!note.failure.empty()) {
    finding.failure = FetchFailure(note);
    if (note.status == 404) {
      finding.failure += " The service serves no release log: upload the site's downloads/client/log/ folder as " +
                         std::string("well, so that it is served under ") + kLogResourcePath + ".";
    }
    return std::nullopt;
  }
  try {
    Checkpoint checkpoint = OpenCheckpoint(note.body, watch.verifiers);
    finding.checkpoint_note = note.body;
    return checkpoint;
  } catch (const ToolError& error) {
    finding.failure = "The served checkpoint is not signed by " + KeyText(watch) + " (" + error.what() + ").";
    return std::nullopt;
  }
}

std::string Rewritten(const LogWatch& watch, const Checkpoint& recorded, const Checkpoint& served) {
  return "The log's history was rewritten: the served checkpoint (" + std::to_string(served.size) +
         " entries) does not extend the one recorded in " + watch.state->string() + " (" +
         std::to_string(recorded.size) + " entries).";
}

// The tiles of the served tree, fetched as needed; a tile the service does not give stops the look.
TileReader ServedTiles(const ResourceFetch& fetch) {
  return [fetch](const std::string& path, std::uint64_t limit) {
    ServedResource tile = fetch(kLogResourcePath + path, limit);
    if (!tile.failure.empty()) {
      throw ToolError(FetchFailure(tile));
    }
    return std::move(tile.body);
  };
}

}  // namespace

LogFinding CheckLogged(const ResourceFetch& fetch, const LogWatch& watch, ByteView entry) {
  LogFinding finding;
  const std::optional<Checkpoint> served = FetchCheckpoint(fetch, watch, finding);
  if (!served) {
    return finding;
  }
  try {
    TiledTree tree(served->size, ServedTiles(fetch));
    if (const std::optional<Checkpoint> recorded = ReadLogState(watch)) {
      if (recorded->size > served->size || !VerifyConsistency(recorded->size, served->size, recorded->root,
                                                              served->root, tree.ConsistencyProof(recorded->size))) {
        finding.failure = Rewritten(watch, *recorded, *served);
        return finding;
      }
    }
    // The served release is normally the last entry: the search starts there.
    const TreeHash leaf = LeafHash(entry);
    for (std::uint64_t index = served->size; index-- > 0;) {
      if (tree.LeafAt(index) == leaf) {
        if (!VerifyInclusion(index, served->size, leaf, tree.InclusionProof(index), served->root)) {
          break;
        }
        finding.summary = "logged as entry " + std::to_string(index) + " of " + std::to_string(served->size) +
                          (index + 1 == served->size ? "" : ", not the last");
        // A P-256 key is the one launchers check: the served pair's proof as they fetch it.
        if (LaunchersCheck(watch)) {
          const ByteBuffer entry_bytes(entry.begin(), entry.end());
          const ServedResource proof = fetch(kLogResourcePath + ProofPath(entry_bytes), kProofSizeLimit);
          if (!proof.failure.empty()) {
            throw ToolError(FetchFailure(proof));
          }
          if (std::optional<std::string> warning = ImmutableCacheWarning(proof, "a release's proof")) {
            finding.warnings.push_back(std::move(*warning));
          }
          VerifyEntryProof(proof.body, entry_bytes, watch.verifiers, proof.path);
          finding.summary += ", with the proof launchers check";
        }
        return finding;
      }
    }
    finding.failure = "The served release is not in the log: the checkpoint of " + KeyText(watch) + " (" +
                      std::to_string(served->size) +
                      " entries) holds no entry with the served stable.manifest and stable.manifest.sig.";
  } catch (const ToolError& error) {
    finding.failure = std::string("The log's tiles or proof do not give its signed checkpoint: ") + error.what();
  }
  return finding;
}

LogAudit AuditLog(const ResourceFetch& fetch, const LogWatch& watch, EVP_PKEY* update_key, EVP_PKEY* recovery_key) {
  LogAudit audit;
  audit.origin = watch.verifiers.front().name;
  audit.signed_by = KeyText(watch);
  LogFinding finding;
  const std::optional<Checkpoint> served = FetchCheckpoint(fetch, watch, finding);
  if (!served) {
    audit.failures.push_back(finding.failure);
    return audit;
  }
  audit.size = served->size;
  std::vector<ByteBuffer> entries;
  try {
    entries = ReadEntries(served->size, ServedTiles(fetch), kLogResourcePath);
  } catch (const ToolError& error) {
    audit.failures.push_back(error.what());
    return audit;
  }
  const std::vector<TreeHash> leaves = LeafHashes(entries);
  if (RootOf(leaves) != served->root) {
    audit.failures.push_back("The log's entries do not give its signed checkpoint: " + std::to_string(served->size) +
                             " entries, but another root hash than the checkpoint's.");
    return audit;
  }
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const ByteBuffer& entry = entries[index];
    try {
      if (entry.size() < kSignatureSize) {
        throw LauncherFailure(kSignatureNotTrusted);
      }
      const ByteView bytes(entry);
      const SignedRecord signed_record = VerifySignedByEither(
          update_key, recovery_key, bytes.first(entry.size() - kSignatureSize), bytes.last(kSignatureSize));
      audit.entries.push_back({index, signed_record.record, signed_record.by_recovery_key});
    } catch (const std::exception& failure) {
      audit.failures.push_back("entry " + std::to_string(index) + ": " + failure.what());
    }
  }
  if (const std::optional<Checkpoint> recorded = ReadLogState(watch)) {
    if (recorded->size > served->size ||
        RootOf(std::span<const TreeHash>(leaves).first(recorded->size)) != recorded->root) {
      audit.failures.push_back(Rewritten(watch, *recorded, *served));
      return audit;
    }
    audit.recorded_size = recorded->size;
  }
  if (audit.failures.empty()) {
    audit.exit_code = 0;
    RecordLogState(watch, finding.checkpoint_note);
  }
  return audit;
}

std::optional<Checkpoint> ReadLogState(const LogWatch& watch) {
  if (!watch.state) {
    return std::nullopt;
  }
  const std::filesystem::path folder = watch.state->parent_path().empty() ? "." : watch.state->parent_path();
  if (!std::filesystem::is_directory(folder)) {
    throw ToolError("--log-state " + watch.state->string() + ": its folder " + folder.string() + " does not exist");
  }
  if (!Exists(*watch.state)) {
    return std::nullopt;
  }
  try {
    return OpenCheckpoint(ReadNamedFile(*watch.state, kCheckpointSizeLimit), watch.verifiers);
  } catch (const ToolError& error) {
    throw ToolError("--log-state " + watch.state->string() + ": " + error.what());
  }
}

void RecordLogState(const LogWatch& watch, const ByteBuffer& checkpoint_note) {
  if (watch.state) {
    ReplaceFileAtomically(*watch.state, checkpoint_note, 0644);
  }
}

}  // namespace qvs
