#pragma once

#include <filesystem>
#include <optional>
#include <string>
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

// The site's key files as a publish leaves them.
struct SiteKeyDecision {
  std::optional<ByteBuffer> site_key;      // a new key file: the first one, or the recovery key switched to
  std::optional<ByteBuffer> recovery_key;  // a recovery key file to write; empty bytes: remove it
  std::string switch_line;                 // the switch for kKeySwitchesFileName, when there is one
};

// The key the site is published for, decided under the site's lock: its key file; or, on the
// first publish, `given` (which the signing key must match) or the signing key's own half. A site
// published before it had a key file is taken over only by the key that signed its current
// descriptor. With `switch_to_recovery`, the signing key must be the site's recorded recovery key
// (or, when it records none, is taken at its word) and becomes the site's key; the recovery key
// file goes, or holds the new recovery key given. Without it, the recovery key is refused like any
// other key, naming both fingerprints. `version` is what the switch line records.
SiteKeyDecision DecideSiteKey(const std::filesystem::path& site, const SigningKey& key, const SiteKeyRequest& request,
                              const std::string& version);

// A line of kKeySwitchesFileName for a switch made now: the time (UTC) and `what`.
std::string KeySwitchLine(const std::string& what);
// The site's switch record with `lines` added, to be written whole; the lines alone for a site
// without one.
ByteBuffer KeySwitchesWith(const std::filesystem::path& site, const std::vector<std::string>& lines);
// The site's switch record, line by line; empty when it has none.
std::vector<std::string> ReadKeySwitches(const std::filesystem::path& site);

// The root of the site that `file` lies in: the nearest folder above it holding a site key file.
std::optional<std::filesystem::path> EnclosingSite(const std::filesystem::path& file);

}  // namespace qvs
