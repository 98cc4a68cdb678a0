#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/qvs-release/keys/verify.h"

namespace qvs {

// What a site check found, beside the report: the served release, its place in the log, the keys
// the site is published for with their recovery keys, and every switch the site recorded.
struct SiteVerification : VerificationResult {
  UpdateDescriptorRecord record;
  std::optional<std::uint64_t> log_entry;  // with a log: the served pair's entry
  std::string log_origin;
  std::string update_key;         // fingerprints
  std::string recovery_key;       // empty: none recorded
  std::string launchers_log_key;  // NAME+KEYID, when launchers check the log
  std::string log_recovery_key;
  std::vector<std::string> switches;
};

// Whether a site serves a consistent release: no publish was left unfinished, and
// stable.manifest, its signature and the package it names pass the launcher's checks with the
// site's key (or `public_key`, which must then be the site's key). Waits for a running publish
// first, calling `waiting` once if it has to. Answers as VerifyRelease: 0 or 3 with a report,
// or raises.
SiteVerification VerifySite(const std::filesystem::path& site, const std::filesystem::path& public_key,
                            std::chrono::milliseconds lock_wait, const std::function<void()>& waiting);

}  // namespace qvs
