#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/qvs-release/check/service_fetch.h"

namespace qvs {

// The longest delta-seconds value a cache takes (RFC 9111, 1.2.2); longer ones count as this.
inline constexpr std::int64_t kLongestDeltaSeconds = std::int64_t{1} << 31;

// The longest time a shared cache (a CDN edge, a proxy) may keep serving a stored response
// without asking the origin, read from its headers: 0 when it must ask every time or may not
// store it (no-cache, no-store, private), else s-maxage, max-age or Expires minus Date, plus
// stale-while-revalidate. Empty when the headers say nothing and each cache picks its own.
std::optional<std::int64_t> SharedCacheLifetime(const std::map<std::string, std::string>& headers);

// The descriptor and signature may be kept this long at most: a cache then pairs a new descriptor
// with an old signature for at most that long after a release.
inline constexpr std::int64_t kLongestPairLifetime = 60;
// A package is published once and never changes: anything under a day wastes the cache.
inline constexpr std::int64_t kShortestPackageLifetime = 86400;

// What in one response breaks launchers: a redirect, a compressed body.
std::vector<std::string> DeliveryWarnings(const ServedResource& resource);

// What in the cache headers of a descriptor and signature served with 200 lets a cache serve a
// mismatched pair: no lifetime, a long one, or two different ones.
std::vector<std::string> PairCacheWarnings(const ServedResource& descriptor, const ServedResource& signature);

// A file published once and never changed (a package, a release's proof), served with 200, that
// caches may not keep for long; `what` names it in the warning ("a published package").
std::optional<std::string> ImmutableCacheWarning(const ServedResource& resource, std::string_view what);

}  // namespace qvs
