#include "tools/qvs-release/keys/pkcs11_uri.h"

#include <gtest/gtest.h>

#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

Pkcs11Uri Uri(std::optional<std::string> token, std::optional<std::string> object,
              std::optional<ByteBuffer> id = std::nullopt) {
  Pkcs11Uri uri;
  uri.token = std::move(token);
  uri.object = std::move(object);
  uri.id = std::move(id);
  return uri;
}

TEST(Pkcs11Uri, ReadsAttributesPercentDecoded) {
  Pkcs11Uri serial;
  serial.serial = "a1b2";
  serial.object = "k";
  const std::vector<std::pair<std::string, Pkcs11Uri>> cases = {
      {"pkcs11:token=release;object=update-key", Uri("release", "update-key")},
      {"PKCS11:object=update-key;type=private;token=release", Uri("release", "update-key")},
      {"pkcs11:token=My%20Token;object=a%3bb%25", Uri("My Token", "a;b%")},
      {"pkcs11:id=%01%AB%ff", Uri(std::nullopt, std::nullopt, ByteBuffer{0x01, 0xab, 0xff})},
      {"pkcs11:object=caf%C3%A9;;", Uri(std::nullopt, "caf\xc3\xa9")},
      {"pkcs11:serial=a1b2;object=k", serial},
      {"pkcs11:token=", Uri("", std::nullopt)},
      {"pkcs11:", Pkcs11Uri{}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_TRUE(IsPkcs11Uri(text)) << text;
    EXPECT_EQ(ParsePkcs11Uri(text), expected) << text;
  }
}

TEST(Pkcs11Uri, RefusesWhatItCannotMatchExactly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"pkcs11:object=a%2", "two hex digits"},
      {"pkcs11:object=a%zz", "two hex digits"},
      {"pkcs11:object=a;object=b", "object is given twice"},
      {"pkcs11:object=a;type=public", "type=private"},
      {"pkcs11:object=a;type=private;type=private", "type=private"},
      {"pkcs11:object=a;slot-id=3", "the attribute slot-id is not supported"},
      {"pkcs11:object=a?pin-value=1234", "query attributes"},
      {"pkcs11:object", "is not NAME=VALUE"},
      {"update-key.pem", "not a PKCS#11 URI"},
  };
  for (const auto& [text, reason] : cases) {
    try {
      ParsePkcs11Uri(text);
      ADD_FAILURE() << text << " was accepted";
    } catch (const ToolError& error) {
      EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << text << ": " << error.what();
      // A PIN in the query is never repeated.
      EXPECT_EQ(std::string(error.what()).find("1234"), std::string::npos) << error.what();
    }
  }
  EXPECT_FALSE(IsPkcs11Uri("pkcs11"));
  EXPECT_FALSE(IsPkcs11Uri("./pkcs11:key.pem"));
}

}  // namespace
}  // namespace qvs
