#include "tools/qvs-release/log/site_log.h"

#include <algorithm>

#include "common/launcher_failure.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/log/merkle_tree.h"
#include "trust/log_proof.h"

namespace qvs {
namespace {

constexpr std::uint64_t kVerifierKeyFileLimit = 4096;

// The partial tiles and bundles of older sizes that the log folder serves, with what the entries
// give at each one's width.
std::map<std::string, ByteBuffer> OlderPartialTiles(const std::filesystem::path& folder,
                                                    const std::vector<ByteBuffer>& entries) {
  std::map<std::string, ByteBuffer> expected;
  if (!Exists(folder / "tile")) {
    return expected;
  }
  const std::vector<std::vector<TreeHash>> levels = TileLevels(entries);
  for (const auto& file : std::filesystem::recursive_directory_iterator(folder / "tile")) {
    const std::string text = file.path().lexically_relative(folder).generic_string();
    if (!file.is_regular_file() || file.path().parent_path().extension() != ".p") {
      continue;
    }
    // tile/L/N.p/W or tile/entries/N.p/W, N in groups of three digits behind "x"s.
    const std::string width_text = file.path().filename().string();
    const std::string rest = text.substr(5, text.size() - 5 - width_text.size() - 3);
    const std::size_t slash = rest.find('/');
    const std::string level_text = rest.substr(0, slash);
    std::string index_text;
    for (const char c : rest.substr(slash + 1)) {
      if (c >= '0' && c <= '9') {
        index_text.push_back(c);
      }
    }
    std::uint64_t width = 0;
    std::uint64_t index = 0;
    int level = 0;
    try {
      width = std::stoull(width_text);
      index = std::stoull(index_text);
      level = level_text == "entries" ? kEntryLevel : std::stoi(level_text);
    } catch (const std::exception&) {
      continue;  // not a name the log writes; nobody asks for it
    }
    if (width == 0 || width >= kTileWidth || TilePath(level, index, width) != text) {
      continue;
    }
    // A tile of a larger tree is the next checkpoint's, placed before it by a publish under way.
    if (const std::optional<ByteBuffer> bytes = TileBytes(entries, levels, level, index, width)) {
      expected.emplace(text, *bytes);
    }
  }
  return expected;
}

}  // namespace

ByteBuffer LogEntry(ByteView descriptor, ByteView signature) {
  ByteBuffer entry(descriptor.begin(), descriptor.end());
  entry.insert(entry.end(), signature.begin(), signature.end());
  return entry;
}

LogKeySet ReadSiteLogKeys(const std::filesystem::path& site) {
  const std::filesystem::path path = site / kSiteLogKeyFileName;
  if (!Exists(path)) {
    return {};
  }
  const ByteBuffer bytes = ReadNamedFile(path, kVerifierKeyFileLimit);
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const LogKeySet keys = ParseLogVerifiers(text, path.string());
  if (keys.front().type != kEd25519Type ||
      std::any_of(keys.begin() + 1, keys.end(), [](const LogVerifier& key) { return !key.launchers_check(); })) {
    throw ToolError(path.string() +
                    ": not a log's keys (its Ed25519 verifier key, then any P-256 ones under the same origin)");
  }
  return keys;
}

LogVerifier ReadLogRecoveryKey(const std::filesystem::path& path, const std::string& shown) {
  const LogKeySet keys = ReadLogVerifiers(path);
  if (keys.size() != 1 || !keys.front().launchers_check()) {
    throw ToolError(shown +
                    ": not a recovery key for the key launchers check (one P-256 verifier key, as "
                    "'keygen --log --launcher' writes)");
  }
  return keys.front();
}

std::optional<LogVerifier> ReadSiteLogRecoveryKey(const std::filesystem::path& site) {
  const std::filesystem::path path = site / kSiteLogRecoveryKeyFileName;
  if (!Exists(path)) {
    return std::nullopt;
  }
  return ReadLogRecoveryKey(path, path.string());
}

std::string LogKeySetText(const LogKeySet& keys) {
  std::string text;
  for (const LogVerifier& key : keys) {
    text += key.Text() + "\n";
  }
  return text;
}

std::string ProofPath(const ByteBuffer& entry) {
  const TreeHash leaf = LeafHash(entry);
  return std::string(kProofFolderName) + "/" + ToHexText(leaf);
}

std::string ProofText(std::uint64_t index, std::span<const TreeHash> hashes, const std::string& checkpoint) {
  std::string text = std::string(kProofHeader) + "\nindex " + std::to_string(index) + "\n";
  for (const TreeHash& hash : hashes) {
    text += Base64(ByteView(hash.data(), hash.size())) + "\n";
  }
  return text + "\n" + checkpoint;
}

std::uint64_t VerifyEntryProof(ByteView proof, const ByteBuffer& entry, const LogKeySet& keys,
                               const std::string& shown) {
  const std::optional<LogProof> parsed = ParseLogProof(proof);
  if (!parsed) {
    throw ToolError(shown + ": not a proof (" + kProofHeader + ": its index, inclusion hashes and checkpoint)");
  }
  // The checkpoint note runs from its text to the proof's end.
  const char* const end = reinterpret_cast<const char*>(proof.data()) + proof.size();
  const std::string_view note(parsed->checkpoint_text.data(),
                              static_cast<std::size_t>(end - parsed->checkpoint_text.data()));
  try {
    OpenCheckpoint(AsBytes(note), keys);
  } catch (const ToolError& error) {
    throw ToolError(shown + ": " + error.what());
  }
  const TreeHash leaf = LeafHash(entry);
  const auto sha256 = [](ByteView bytes) { return Sha256Of(bytes); };
  if (parsed->index + 1 != parsed->tree_size ||
      !VerifyLogInclusion(parsed->index, parsed->tree_size, leaf, parsed->hashes, parsed->root, sha256)) {
    throw ToolError(shown + ": does not prove that the release is the last entry of its checkpoint (index " +
                    std::to_string(parsed->index) + ", tree of " + std::to_string(parsed->tree_size) + ")");
  }
  for (const LogVerifier& key : keys) {
    if (!key.launchers_check()) {
      continue;
    }
    const ScopedPkey public_key = key.Key();
    LogTrust trust;
    trust.origin = key.name;
    trust.keys.push_back({NoteKeyId(key.key_id.data()), [&](ByteView message, ByteView signature) {
                            return SignatureMatches(public_key.get(), message, signature);
                          }});
    try {
      VerifyLogProof(proof, leaf, trust, sha256);
    } catch (const LauncherFailure& failure) {
      throw ToolError(shown + ": launchers checking " + key.name + "+" + key.KeyIdText() + " refuse it (\"" +
                      failure.what() + "\")");
    }
  }
  return parsed->tree_size;
}

SiteLog ReadSiteLog(const std::filesystem::path& site, const LogKeySet& verifiers, bool every_tile) {
  const std::filesystem::path folder = site / kLogFolder;
  SiteLog log;
  log.verifiers = verifiers;
  const std::filesystem::path checkpoint_file = folder / kCheckpointName;
  const ByteBuffer note = ReadNamedFile(checkpoint_file, kCheckpointSizeLimit);
  try {
    log.checkpoint = OpenCheckpoint(note, verifiers);
  } catch (const ToolError& error) {
    throw ToolError(checkpoint_file.string() + ": " + error.what());
  }
  const auto read = [&folder](const std::string& path, std::uint64_t limit) {
    return ReadNamedFile(folder / path, limit);
  };
  log.entries = ReadEntries(log.checkpoint.size, read, folder.string() + "/");
  if (RootOf(LeafHashes(log.entries)) != log.checkpoint.root) {
    throw ToolError(checkpoint_file.string() + ": its root hash is not that of the " +
                    std::to_string(log.checkpoint.size) + " entries in " + (folder / "tile/entries").string() +
                    "; the log was changed outside qvs-release and no new checkpoint is signed over it");
  }
  if (every_tile) {
    for (const auto& [path, bytes] : TilesOf(log.entries)) {
      if (ReadNamedFile(folder / path, kLargestBundle) != bytes) {
        throw ToolError((folder / path).string() + ": does not hold what the log's entries give");
      }
    }
    // A client that holds an older checkpoint reads the partial tiles of that size: each one still
    // served must hold what the entries give at its width.
    for (const auto& [path, bytes] : OlderPartialTiles(folder, log.entries)) {
      if (ReadNamedFile(folder / path, kLargestBundle) != bytes) {
        throw ToolError((folder / path).string() + ": does not hold what the log's entries give");
      }
    }
  }
  return log;
}

LogChange AppendToLog(const SiteLog& log, const ByteBuffer& entry, std::span<const CheckpointSigner> signers) {
  std::vector<ByteBuffer> entries = log.entries;
  entries.push_back(entry);
  LogChange change;
  change.tiles = TilesOf(entries);
  // The root and the proof from the tiles just made: their hashes are not computed a second time.
  TiledTree tree(entries.size(), [&change](const std::string& path, std::uint64_t) { return change.tiles.at(path); });
  const Checkpoint next{log.checkpoint.origin, entries.size(), tree.Root()};
  change.size = next.size;
  change.checkpoint = SignCheckpoint(next, signers);
  const std::string proof = ProofText(next.size - 1, tree.InclusionProof(next.size - 1), *change.checkpoint);
  change.tiles.emplace(ProofPath(entry), ByteBuffer(proof.begin(), proof.end()));
  return change;
}

LogChange ProveLastEntry(const SiteLog& log, std::span<const CheckpointSigner> signers) {
  LogChange change;
  change.size = log.checkpoint.size;
  const std::map<std::string, ByteBuffer> tiles = TilesOf(log.entries);
  TiledTree tree(log.entries.size(), [&tiles](const std::string& path, std::uint64_t) { return tiles.at(path); });
  change.checkpoint = SignCheckpoint(log.checkpoint, signers);
  const std::string proof = ProofText(change.size - 1, tree.InclusionProof(change.size - 1), *change.checkpoint);
  change.tiles.emplace(ProofPath(log.entries.back()), ByteBuffer(proof.begin(), proof.end()));
  return change;
}

}  // namespace qvs
