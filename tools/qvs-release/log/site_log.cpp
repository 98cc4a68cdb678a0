#include "tools/qvs-release/log/site_log.h"

#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/log/merkle_tree.h"

namespace qvs {

ByteBuffer LogEntry(ByteView descriptor, ByteView signature) {
  ByteBuffer entry(descriptor.begin(), descriptor.end());
  entry.insert(entry.end(), signature.begin(), signature.end());
  return entry;
}

std::optional<LogVerifier> ReadSiteLogKey(const std::filesystem::path& site) {
  const std::filesystem::path path = site / kSiteLogKeyFileName;
  if (!Exists(path)) {
    return std::nullopt;
  }
  return ReadLogVerifier(path);
}

SiteLog ReadSiteLog(const std::filesystem::path& site, const LogVerifier& verifier, bool every_tile) {
  const std::filesystem::path folder = site / kLogFolder;
  SiteLog log;
  log.verifier = verifier;
  const std::filesystem::path checkpoint_file = folder / kCheckpointName;
  const ByteBuffer note = ReadNamedFile(checkpoint_file, kCheckpointSizeLimit);
  try {
    log.checkpoint = OpenCheckpoint(note, verifier);
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
  }
  return log;
}

LogChange AppendToLog(const std::filesystem::path& site, const SiteLog& log, const ByteBuffer& entry, EVP_PKEY* key) {
  std::vector<ByteBuffer> entries = log.entries;
  entries.push_back(entry);
  std::map<std::string, ByteBuffer> tiles = TilesOf(entries);
  // The root from the tiles just made: their hashes are not computed a second time.
  TiledTree tree(entries.size(), [&tiles](const std::string& path, std::uint64_t) { return tiles.at(path); });
  const Checkpoint next{log.checkpoint.origin, entries.size(), tree.Root()};
  LogChange change;
  const std::filesystem::path folder = site / kLogFolder;
  // Tiles already served stay as they are: full ones never change, and a partial one is named by
  // its width, so a new width is a new file.
  for (auto& [path, bytes] : tiles) {
    if (!Exists(folder / path)) {
      change.tiles.emplace(path, std::move(bytes));
    }
  }
  change.size = next.size;
  change.checkpoint = SignCheckpoint(next, key);
  return change;
}

}  // namespace qvs
