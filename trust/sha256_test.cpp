#include "trust/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace qvs {
namespace {

using namespace std::string_literals;

std::string DigestTextOf(ByteView bytes) { return ToDigestText(ComputeSha256(bytes)); }

std::string DigestTextOf(std::string_view text) {
  return DigestTextOf(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

struct KnownAnswer {
  const char* name;
  std::string message;
  const char* digest_text;
};

class Sha256KnownAnswer : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(Sha256KnownAnswer, MatchesThePublishedDigest) {
  EXPECT_EQ(DigestTextOf(GetParam().message), GetParam().digest_text);
}

// FIPS 180 examples, and bytes that a text-mode or C-string treatment would alter or cut.
const KnownAnswer kKnownAnswers[] = {
    {"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"Fips448Bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"Fips896Bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"MillionA", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {"NulByte", "\0"s, "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
    {"NulInTheMiddle", "a\0b"s, "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"},
    {"Lf", "\n", "01ba4719c80b6fe911b091a7c05124b64eeece964e09c058ef8f9805daca546b"},
    {"Cr", "\r", "9d1e0e2d9459d06523ad13e28a4093c2316baafe7aec5b25f30eba2e113599c4"},
    {"CrLf", "\r\n", "7eb70257593da06f682a3ddda54a9d260d4fc514f645237f5ca74b08f8da61a6"},
    {"AbcLf", "abc\n", "edeaaff3f1774ad2888673770c6d64097e391bc362d7d6fb34982ddf0efd18cb"},
    {"AbcCrLf", "abc\r\n", "552bab6864c7a7b69a502ed1854b9245c0e1a30f008aaa0b281da62585fdb025"},
    {"CrLfEofNul", "\x0d\x0a\x1a\x00"s, "dc4f42ea3ec96e3158465adae80a22413cd2c8160df7bcceaf2050c5dcb270b6"},
};

INSTANTIATE_TEST_SUITE_P(Sha256, Sha256KnownAnswer, ::testing::ValuesIn(kKnownAnswers),
                         [](const ::testing::TestParamInfo<KnownAnswer>& info) { return info.param.name; });

TEST(Sha256, HashesAllByteValues) {
  ByteBuffer bytes(256);
  for (int i = 0; i < 256; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i);
  }
  EXPECT_EQ(DigestTextOf(bytes), "40aff2e9d2d8922e47afd4648e6967497158785fbd1da870e7110266bf944880");
}

// A package of the largest size the launcher accepts goes to the platform in one piece.
TEST(Sha256, HashesAPackageOfTheSizeLimit) {
  const ByteBuffer package(16777216, 0);
  EXPECT_EQ(DigestTextOf(package), "080acf35a507ac9849cfcba47dc2ad83e01b75663a516279c8b9d243b719643e");
}

// Only the bytes of the view are hashed, not what lies around them in memory.
TEST(Sha256, HashesExactlyTheViewGiven) {
  const std::string buffer = "xabcx";
  const ByteView whole(reinterpret_cast<const std::uint8_t*>(buffer.data()), buffer.size());
  EXPECT_EQ(DigestTextOf(whole.subspan(1, 3)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DigestTextOf(whole.subspan(2, 0)), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// Every call starts a fresh hash: an earlier input never leaks into a later digest.
TEST(Sha256, CallsAreIndependent) {
  const std::string first = DigestTextOf("abc");
  DigestTextOf(std::string(1000, 'z'));
  EXPECT_EQ(DigestTextOf("abc"), first);
  EXPECT_EQ(DigestTextOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
}  // namespace qvs
