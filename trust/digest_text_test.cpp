#include "trust/digest_text.h"

#include <gtest/gtest.h>

namespace qvs {
namespace {

TEST(DigestText, WritesLowerCaseHighNibbleFirst) {
  Sha256Digest digest{};
  EXPECT_EQ(ToDigestText(digest), std::string(64, '0'));
  digest.fill(0xFF);
  EXPECT_EQ(ToDigestText(digest), std::string(64, 'f'));
  digest.fill(0);
  digest[0] = 0x0F;
  digest[1] = 0xA0;
  digest[31] = 0x9b;
  const std::string text = ToDigestText(digest);
  EXPECT_EQ(text.substr(0, 4), "0fa0");
  EXPECT_EQ(text.substr(62), "9b");
}

}  // namespace
}  // namespace qvs
