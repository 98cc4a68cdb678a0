#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/byte_buffer.h"
#include "common/site_layout.h"
#include "tools/qvs-release/keys/signing_key.h"

namespace qvs {

// The site's key files (kSiteKeyFileName, kSiteRecoveryKeyFileName) and its record of switches
// (kKeySwitchesFileName), in the site's root: common/site_layout.h.

// The site's key blob, or nothing when the site has no key file yet. Raises ToolError for a key
// file that cannot be read or holds no P-256 key.
std::optional<ByteBuffer> ReadSiteKey(const std::filesystem::path& site);

// Raises ToolError naming both fingerprints unless `expected` is the public half of the signing
// key. `source` says where `expected` comes from, e.g. "--public-key FILE".
void RequireMatchingKey(const SigningKey& key, ByteView expected, const std::string& source);

std::optional<ByteBuffer> ReadSiteRecoveryKey(const std::filesystem::path& site);

// What a publish asks of the site's keys.
struct SiteKeyRequest {
  std::optional<ByteBuffer> given;  // --public-key: the key the site is (to be) published for
  std::string given_source;
  std::optional<ByteBuffer> recovery;  // --recovery-public-key: the recovery key to record
  std::string recovery_source;
  bool switch_to_recovery = false;  // --switch-to-recovery-key
};

// The site's key files as a publish finds them and will leave them, decided before its key is
// opened, with every check that needs no key: a site with a key file is published only for that
// key (--public-key must be it), the switch needs a site key to replace, and a recovery key given
// must be a second key and the one the site records.
struct SiteKeyPlan {
  std::optional<ByteBuffer> site_key;      // the key file as it stands
  std::optional<ByteBuffer> recorded;      // the recovery key file as it stands
  bool writes_site_key = false;            // the first key file, or the recovery key switched to
  std::optional<ByteBuffer> recovery_key;  // a recovery key file to write; empty bytes: remove it
  // A site published before it had a key file: its served pair, which only the key that signed it
  // takes over (empty bytes where a file could not be read).
  std::optional<std::pair<ByteBuffer, ByteBuffer>> unclaimed_release;
};
SiteKeyPlan PlanSiteKeys(const std::filesystem::path& site, const SiteKeyRequest& request);

// The site's key file as a publish leaves it (its recovery key file is the plan's).
struct SiteKeyDecision {
  std::optional<ByteBuffer> site_key;  // a new key file: the first one, or the recovery key switched to
  std::string switch_line;             // the switch for kKeySwitchesFileName, when there is one
};

// The plan bound to the opened signing key, with the checks only the key can make: it must be the
// site's key, or, on the first publish, `given` (without it, its own half becomes the site's key).
// With `switch_to_recovery`, it must be the site's recorded recovery key (or, when it records none,
// is taken at its word) and becomes the site's key. Without it, the recovery key is refused like
// any other key, naming both fingerprints. `version` is what the switch line records.
SiteKeyDecision BindSiteKeys(const std::filesystem::path& site, const SiteKeyPlan& plan, const SigningKey& key,
                             const SiteKeyRequest& request, const std::string& version);

// A line of kKeySwitchesFileName for a switch made now: the time (UTC) and `what`.
std::string KeySwitchLine(const std::string& what);
// The switch record `recorded` with `lines` added, to be written whole.
ByteBuffer KeySwitchesWith(const std::vector<std::string>& recorded, const std::vector<std::string>& lines);
// The site's switch record, line by line; empty when it has none.
std::vector<std::string> ReadKeySwitches(const std::filesystem::path& site);

// The root of the site that `file` lies in: the nearest folder above it holding a site key file.
std::optional<std::filesystem::path> EnclosingSite(const std::filesystem::path& file);

}  // namespace qvs
