#include "trust/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace qvs {
namespace {

std::string DigestTextOf(const std::string& text) {
  return ToDigestText(ComputeSha256(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
}

TEST(Sha256, KnownAnswers) {
  EXPECT_EQ(DigestTextOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(DigestTextOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DigestTextOf(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace qvs
