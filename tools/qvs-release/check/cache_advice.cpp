#include "tools/qvs-release/check/cache_advice.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>
#include <string_view>

#include "tools/qvs-release/base/ascii_text.h"

namespace qvs {
namespace {

constexpr char kRecommendedPairHeader[] = "\"Cache-Control: no-cache\"";
constexpr char kRecommendedPackageHeader[] = "\"Cache-Control: public, max-age=31536000, immutable\"";

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// Cache-Control directives by lower-case name; a value loses its quotes. A directive without a
// value maps to an empty string.
std::map<std::string, std::string> Directives(std::string_view header) {
  std::map<std::string, std::string> directives;
  while (!header.empty()) {
    const std::size_t comma = header.find(',');
    const std::string_view item = Trim(header.substr(0, comma));
    header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    if (item.empty()) {
      continue;
    }
    const std::size_t equals = item.find('=');
    std::string_view value = equals == std::string_view::npos ? std::string_view() : Trim(item.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    directives.emplace(AsciiLower(Trim(item.substr(0, equals))), std::string(value));
  }
  return directives;
}

// A delta-seconds value; one that does not parse counts as 0, as a cache takes it to be stale, and
// one beyond 2^31 counts as 2^31, as caches take it (RFC 9111, 1.2.2).
std::int64_t Seconds(const std::string& text) {
  std::int64_t seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (end != text.data() + text.size() || text.empty() || text.front() == '-') {
    return 0;
  }
  return error == std::errc::result_out_of_range ? kLongestDeltaSeconds
                                                 : std::min<std::int64_t>(seconds, kLongestDeltaSeconds);
}

std::optional<std::int64_t> ExpiresLifetime(const std::map<std::string, std::string>& headers) {
  const auto expires = headers.find("Expires");
  if (expires == headers.end()) {
    return std::nullopt;
  }
  const auto date = headers.find("Date");
  const std::time_t now = date == headers.end() ? std::time(nullptr) : curl_getdate(date->second.c_str(), nullptr);
  const std::time_t until = curl_getdate(expires->second.c_str(), nullptr);
  // An Expires that does not parse means already expired.
  return until < 0 || now < 0 || until <= now
             ? 0
             : static_cast<std::int64_t>(std::min<std::time_t>(until - now, kLongestDeltaSeconds));
}

std::string Lifetime(std::optional<std::int64_t> seconds) {
  return seconds ? std::to_string(*seconds) + " s" : "no lifetime";
}

std::string HeaderNote(const ServedResource& resource) {
  const std::string* cache_control = resource.Header("Cache-Control");
  return cache_control ? "Cache-Control: " + *cache_control : "no Cache-Control";
}

void WarnAboutPairMember(const ServedResource& resource, std::vector<std::string>& warnings) {
  const std::optional<std::int64_t> lifetime = SharedCacheLifetime(resource.headers);
  if (!lifetime) {
    warnings.push_back(resource.path +
                       " has no cache lifetime (no Cache-Control or Expires): each cache picks its own, and can "
                       "serve a new manifest with an old signature that long; send " +
                       kRecommendedPairHeader);
  } else if (*lifetime > kLongestPairLifetime) {
    warnings.push_back(resource.path + " may be served from a cache for " + Lifetime(lifetime) + " after a release (" +
                       HeaderNote(resource) + "): a new manifest can meet an old signature that long; send " +
                       kRecommendedPairHeader + ", or at most max-age=60 and purge both files after each release");
  }
}

}  // namespace

std::optional<std::int64_t> SharedCacheLifetime(const std::map<std::string, std::string>& headers) {
  const auto header = headers.find("Cache-Control");
  if (header == headers.end()) {
    return ExpiresLifetime(headers);
  }
  const std::map<std::string, std::string> directives = Directives(header->second);
  const auto unqualified = [&directives](const char* name) {
    const auto found = directives.find(name);
    return found != directives.end() && found->second.empty();
  };
  if (directives.contains("no-store") || unqualified("no-cache") || unqualified("private")) {
    return 0;
  }
  std::optional<std::int64_t> lifetime;
  if (const auto shared = directives.find("s-maxage"); shared != directives.end()) {
    lifetime = Seconds(shared->second);
  } else if (const auto any = directives.find("max-age"); any != directives.end()) {
    lifetime = Seconds(any->second);
  } else {
    lifetime = ExpiresLifetime(headers);
  }
  if (const auto stale = directives.find("stale-while-revalidate"); stale != directives.end() && lifetime) {
    *lifetime += Seconds(stale->second);
  }
  return lifetime;
}

std::vector<std::string> DeliveryWarnings(const ServedResource& resource) {
  std::vector<std::string> warnings;
  if (resource.status >= 300 && resource.status < 400) {
    const std::string* location = resource.Header("Location");
    warnings.push_back(resource.path + " answers with a redirect (" + std::to_string(resource.status) +
                       (location ? " to " + *location : std::string()) +
                       "): launchers follow none and fail; serve the file itself at this path");
  }
  const std::string* encoding = resource.Header("Content-Encoding");
  if (encoding && AsciiLower(Trim(*encoding)) != "identity") {
    warnings.push_back(resource.path + " comes compressed (Content-Encoding: " + *encoding +
                       "): launchers take the body as sent and refuse it; turn compression off for "
                       "/downloads/client/");
  }
  return warnings;
}

std::vector<std::string> PairCacheWarnings(const ServedResource& descriptor, const ServedResource& signature) {
  std::vector<std::string> warnings;
  WarnAboutPairMember(descriptor, warnings);
  WarnAboutPairMember(signature, warnings);
  const std::optional<std::int64_t> descriptor_lifetime = SharedCacheLifetime(descriptor.headers);
  const std::optional<std::int64_t> signature_lifetime = SharedCacheLifetime(signature.headers);
  if (descriptor_lifetime != signature_lifetime) {
    warnings.push_back("the manifest and its signature have different cache lifetimes (" +
                       Lifetime(descriptor_lifetime) + " and " + Lifetime(signature_lifetime) +
                       "): caches renew them at different times; give both the same headers");
  }
  return warnings;
}

std::optional<std::string> ImmutableCacheWarning(const ServedResource& resource, std::string_view what) {
  const std::optional<std::int64_t> lifetime = SharedCacheLifetime(resource.headers);
  if (lifetime && *lifetime >= kShortestPackageLifetime) {
    return std::nullopt;
  }
  return resource.path + " is not cacheable for long (" + HeaderNote(resource) + "; " + Lifetime(lifetime) +
         "): " + std::string(what) + " never changes; send " + kRecommendedPackageHeader;
}

}  // namespace qvs
