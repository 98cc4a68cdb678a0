#pragma once

#include <chrono>
#include <filesystem>
#include <functional>

#include "tools/qvs-release/site/verify.h"

namespace qvs {

// Whether a site serves a consistent release: no publish was left unfinished, and
// stable.manifest, its signature and the package it names pass the launcher's checks with the
// site's key (or `public_key`, which must then be the site's key). Waits for a running publish
// first, calling `waiting` once if it has to. Answers as VerifyRelease: 0 or 3 with a report,
// or raises.
VerificationResult VerifySite(const std::filesystem::path& site, const std::filesystem::path& public_key,
                              std::chrono::milliseconds lock_wait, const std::function<void()>& waiting);

}  // namespace qvs
