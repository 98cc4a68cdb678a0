#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/log/checkpoint.h"

namespace qvs {

// The site's release log: served under kLogFolder (the checkpoint, tiles and entry
// bundles); its verifier key kept in the site's root beside the site key, outside what is served,
// from the first publish with a log key on. Each entry is a descriptor's bytes followed by its
// 64-byte signature, so that anyone can check every logged release against the update key.
inline constexpr char kSiteLogKeyFileName[] = "qvs-log-key.vkey";
inline constexpr std::uint64_t kCheckpointSizeLimit = 64 * 1024;

ByteBuffer LogEntry(ByteView descriptor, ByteView signature);

struct SiteLog {
  LogVerifier verifier;
  Checkpoint checkpoint;
  std::vector<ByteBuffer> entries;
};

// The site's log key, or nothing when the site keeps no log.
std::optional<LogVerifier> ReadSiteLogKey(const std::filesystem::path& site);

// The site's log as it is served, checked: a checkpoint signed by `verifier` whose root the entry
// bundles give. With `every_tile`, each hash tile and bundle of that tree must be served as well,
// byte for byte. Raises ToolError naming the file that disagrees.
SiteLog ReadSiteLog(const std::filesystem::path& site, const LogVerifier& verifier, bool every_tile = false);

// What appending `entry` to `log` writes: the tiles and bundles the site does not hold yet (paths
// relative to the log folder) and the new checkpoint, signed with `key`.
struct LogChange {
  std::map<std::string, ByteBuffer> tiles;
  std::string checkpoint;
  std::uint64_t size = 0;
};
LogChange AppendToLog(const std::filesystem::path& site, const SiteLog& log, const ByteBuffer& entry, EVP_PKEY* key);

}  // namespace qvs
