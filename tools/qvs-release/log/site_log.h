#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/site_layout.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/log/checkpoint.h"

namespace qvs {

// The site's release log: served under kLogFolder (the checkpoint, tiles, entry bundles and each
// entry's proof); its verifier keys in kSiteLogKeyFileName, its recovery key in
// kSiteLogRecoveryKeyFileName (common/site_layout.h). Each entry is a descriptor's bytes followed
// by its 64-byte signature, so that anyone can check every logged release against the update key.
inline constexpr std::uint64_t kCheckpointSizeLimit = 64 * 1024;

ByteBuffer LogEntry(ByteView descriptor, ByteView signature);

using LogKeySet = std::vector<LogVerifier>;

struct SiteLog {
  LogKeySet verifiers;
  Checkpoint checkpoint;
  std::vector<ByteBuffer> entries;
};

// The site's log keys, or none when the site keeps no log.
LogKeySet ReadSiteLogKeys(const std::filesystem::path& site);
std::string LogKeySetText(const LogKeySet& keys);
// The recovery key the site records for the key launchers check, if any.
std::optional<LogVerifier> ReadSiteLogRecoveryKey(const std::filesystem::path& site);
// The one P-256 verifier key in a recovery key file given to the tool (a launcher's
// QVS_LOG_RECOVERY_KEY_FILE); raises ToolError for another kind of file.
LogVerifier ReadLogRecoveryKey(const std::filesystem::path& path, const std::string& shown);

// The site's log as it is served, checked: a checkpoint signed by each of `verifiers` whose root
// the entry bundles give. With `every_tile`, each hash tile and bundle of that tree must be served
// as well, byte for byte, and so must every partial tile of an older size that is still served.
// Raises ToolError naming the file that disagrees.
SiteLog ReadSiteLog(const std::filesystem::path& site, const LogKeySet& verifiers, bool every_tile = false);

// An entry's proof (C2SP tlog-proof) and where it is served, relative to the log folder:
// "proof/" and the 64 hex digits of the entry's leaf hash.
std::string ProofPath(const ByteBuffer& entry);
std::string ProofText(std::uint64_t index, std::span<const TreeHash> hashes, const std::string& checkpoint);

// Checks an entry's proof as launchers check it, with the launcher's own code for the keys they
// check: a checkpoint of the log signed by every one of `keys`, whose last entry is `entry`.
// Returns the proof's tree size; raises ToolError saying what is wrong, `shown` naming the proof.
std::uint64_t VerifyEntryProof(ByteView proof, const ByteBuffer& entry, const LogKeySet& keys,
                               const std::string& shown);

// What appending `entry` to `log` makes: every tile and bundle of the grown log and the entry's
// proof (paths relative to the log folder), and the new checkpoint, signed by every signer. The
// caller places those the site does not serve yet: full tiles never change, and a partial one is
// named by its width.
struct LogChange {
  std::map<std::string, ByteBuffer> tiles;
  std::optional<std::string> checkpoint;
  std::uint64_t size = 0;
};
LogChange AppendToLog(const SiteLog& log, const ByteBuffer& entry, std::span<const CheckpointSigner> signers);
// For a log whose last entry has no proof yet (logged before proofs were written): the checkpoint
// signed again by every signer, for the same tree, and that entry's proof.
LogChange ProveLastEntry(const SiteLog& log, std::span<const CheckpointSigner> signers);

}  // namespace qvs
