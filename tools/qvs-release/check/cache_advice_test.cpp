#include "tools/qvs-release/check/cache_advice.h"

#include <gtest/gtest.h>

namespace qvs {
namespace {

struct LifetimeCase {
  std::map<std::string, std::string> headers;
  std::optional<std::int64_t> seconds;
};

TEST(SharedCacheLifetime, ReadsWhatASharedCacheObeys) {
  const LifetimeCase cases[] = {
      {{}, std::nullopt},
      {{{"Content-Type", "text/plain"}}, std::nullopt},
      {{{"Cache-Control", "public"}}, std::nullopt},
      {{{"Cache-Control", "no-cache"}}, 0},
      {{{"Cache-Control", "max-age=3600, No-Cache"}}, 0},
      {{{"Cache-Control", "public, max-age=60, no-store"}}, 0},
      {{{"Cache-Control", "private, max-age=600"}}, 0},
      // A qualified no-cache or private names fields only; the response itself may be kept.
      {{{"Cache-Control", "no-cache=\"Set-Cookie\", max-age=600"}}, 600},
      {{{"Cache-Control", "public, max-age=31536000, immutable"}}, 31536000},
      {{{"Cache-Control", "max-age=60, s-maxage=86400"}}, 86400},
      {{{"Cache-Control", "s-maxage=\"30\""}}, 30},
      {{{"Cache-Control", "max-age=60, stale-while-revalidate=600"}}, 660},
      {{{"Cache-Control", "max-age=ten"}}, 0},
      {{{"Cache-Control", "max-age=-5"}}, 0},
      {{{"Expires", "Tue, 08 Dec 2026 10:10:00 GMT"}, {"Date", "Tue, 08 Dec 2026 10:00:00 GMT"}}, 600},
      {{{"Expires", "0"}, {"Date", "Tue, 08 Dec 2026 10:00:00 GMT"}}, 0},
      // Beyond 2^31 seconds every value counts as 2^31; the sum with stale-while-revalidate stays exact.
      {{{"Cache-Control", "max-age=2147483647"}}, 2147483647},
      {{{"Cache-Control", "max-age=2147483648"}}, kLongestDeltaSeconds},
      {{{"Cache-Control", "max-age=2147483649"}}, kLongestDeltaSeconds},
      {{{"Cache-Control", "max-age=99999999999999999999999999"}}, kLongestDeltaSeconds},
      {{{"Cache-Control", "max-age=9223372036854775807, stale-while-revalidate=9223372036854775807"}},
       2 * kLongestDeltaSeconds},
      {{{"Expires", "Fri, 01 Jan 2100 00:00:00 GMT"}, {"Date", "Tue, 08 Dec 2026 10:00:00 GMT"}}, kLongestDeltaSeconds},
      // Cache-Control outranks Expires.
      {{{"Cache-Control", "max-age=5"},
        {"Expires", "Tue, 08 Dec 2026 11:00:00 GMT"},
        {"Date", "Tue, 08 Dec 2026 10:00:00 GMT"}},
       5},
  };
  for (const LifetimeCase& test : cases) {
    const auto cache_control = test.headers.find("Cache-Control");
    SCOPED_TRACE(cache_control == test.headers.end() ? "(no Cache-Control)" : cache_control->second);
    EXPECT_EQ(SharedCacheLifetime(test.headers), test.seconds);
  }
}

ServedResource Served(const std::string& path, long status, std::map<std::string, std::string> headers) {
  ServedResource resource;
  resource.path = path;
  resource.status = status;
  resource.headers = std::move(headers);
  return resource;
}

TEST(CacheAdvice, WarnsOnlyAboutWhatBreaksLaunchersOrCaches) {
  const auto pair_member = [](const std::string& cache_control) {
    return Served("/m", 200, {{"Cache-Control", cache_control}});
  };
  EXPECT_TRUE(PairCacheWarnings(pair_member("no-cache"), pair_member("no-cache")).empty());
  EXPECT_TRUE(PairCacheWarnings(pair_member("max-age=60"), pair_member("max-age=60")).empty());
  EXPECT_EQ(PairCacheWarnings(pair_member("max-age=61"), pair_member("max-age=61")).size(), 2u);
  // Different lifetimes alone are worth a warning: the two entries expire apart.
  EXPECT_EQ(PairCacheWarnings(pair_member("no-cache"), pair_member("max-age=30")).size(), 1u);
  EXPECT_EQ(PairCacheWarnings(Served("/m", 200, {}), pair_member("no-cache")).size(), 2u);

  EXPECT_FALSE(
      ImmutableCacheWarning(Served("/p", 200, {{"Cache-Control", "public, max-age=86400"}}), "a published package"));
  EXPECT_TRUE(ImmutableCacheWarning(Served("/p", 200, {{"Cache-Control", "max-age=3600"}}), "a published package"));
  EXPECT_TRUE(ImmutableCacheWarning(Served("/p", 200, {}), "a published package"));

  EXPECT_TRUE(DeliveryWarnings(Served("/m", 200, {{"Content-Encoding", "identity"}})).empty());
  EXPECT_EQ(DeliveryWarnings(Served("/m", 200, {{"Content-Encoding", "br"}})).size(), 1u);
  EXPECT_EQ(DeliveryWarnings(Served("/m", 308, {{"Location", "https://elsewhere/m"}})).size(), 1u);
  EXPECT_TRUE(DeliveryWarnings(Served("/m", 404, {})).empty());
}

}  // namespace
}  // namespace qvs
