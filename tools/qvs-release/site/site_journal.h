#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "common/site_layout.h"

namespace qvs {

// How a publish changes a site all or nothing, and how the next publish finds and mends one that
// was stopped. Both folders lie in the site's root, outside what is served:
//   qvs-publish.staging/  the new files while they are written; removed again when the publish
//                         fails or is interrupted, and by the next publish when it was killed;
//   qvs-publish.pending/  the same folder renamed once every file in it is on disk: from this
//                         moment the change is decided, and whoever holds the lock next (this
//                         publish, or the next one after a kill) moves its files into place:
//                         the site's key files and switch record, the package, the log's tiles, its checkpoint, then
//                         stable.manifest and stable.manifest.sig.
// A kill between the descriptor and its signature therefore leaves the signature in the pending
// folder, where the next publish finds it and completes the pair; and the checkpoint that logs a
// release is served before its descriptor. Callers hold the site's lock.
// The site's folders, served or not, are readable by every user (the web server's among them);
// nothing in a site is secret.
inline constexpr mode_t kServedFolderMode = 0755;

// Files of the site's root that a change writes or, given empty bytes, removes.
struct SiteChange {
  std::optional<ByteBuffer> site_key;           // the site's first key file, or the recovery key switched to
  std::optional<ByteBuffer> site_recovery_key;  // empty: the file goes (its key is the site's key now)
  std::optional<ByteBuffer> site_log_key;       // the site's log verifier keys, when new or changed
  std::optional<ByteBuffer> log_recovery_key;   // empty: the file goes
  std::optional<ByteBuffer> key_switches;       // the switch record, whole
  std::string package_name;
  std::optional<ByteBuffer> package;            // absent: the same bytes are published already
  std::map<std::string, ByteBuffer> log_tiles;  // new tiles and bundles, relative to the log folder
  std::optional<std::string> checkpoint;
  std::string descriptor;
  ByteBuffer signature;
};

// Called with the name of each step before it runs ("stage", "commit", "site key", "package",
// "descriptor", "signature"); a test stops the change there by raising.
using StepObserver = std::function<void(std::string_view step)>;

// The order in which a change places its files (paths relative to the site): the site's own files
// first, so that its key is in place before what it signs; the packages; the log's new tiles,
// bundles and proofs; its checkpoint; then stable.manifest and stable.manifest.sig, so that a stop
// between those two leaves the signature pending and the next publish completes the pair.
bool PlacedBefore(const std::filesystem::path& a, const std::filesystem::path& b);

// Stages, commits and applies `change`. Before the commit a failure or Interrupted removes the
// staged files and leaves the site as it was; once committed, the change is completed whatever
// signal arrives, and a failure leaves it pending for the next publish. Returns the files it placed,
// relative to the site, in the order they were placed: the order an upload must keep.
std::vector<std::filesystem::path> ApplySiteChange(const std::filesystem::path& site, const SiteChange& change,
                                                   const StepObserver& observer = {});

// Completes a pending change and removes the files of an uncommitted one. Returns one line for
// the publisher about what it mended, or an empty string.
std::string MendInterruptedPublish(const std::filesystem::path& site);

// What an interrupted publish left in the site, for the site check: empty when nothing.
std::string DescribeInterruptedPublish(const std::filesystem::path& site);

}  // namespace qvs
