// libFuzzer target for the cache advice: what a server sends in Cache-Control, Expires and Date
// (the input's first three lines) is read without a crash or an overflow (the sanitizers watch
// the arithmetic), and every lifetime lies between 0 and twice 2^31 seconds, the most that
// max-age and stale-while-revalidate can add up to once each is clamped.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/qvs-release/check/cache_advice.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  qvs::ServedResource resource;
  resource.path = "/downloads/client/stable.manifest";
  resource.status = 200;
  for (const char* name : {"Cache-Control", "Expires", "Date"}) {
    const std::size_t end = input.find('\n');
    if (!input.empty()) {
      resource.headers.emplace(name, std::string(input.substr(0, end)));
    }
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  }
  const auto lifetime = qvs::SharedCacheLifetime(resource.headers);
  Check(!lifetime || (*lifetime >= 0 && *lifetime <= 2 * qvs::kLongestDeltaSeconds), "lifetime out of range");
  qvs::PairCacheWarnings(resource, resource);
  qvs::ImmutableCacheWarning(resource, "a published package");
  qvs::DeliveryWarnings(resource);
  return 0;
}
