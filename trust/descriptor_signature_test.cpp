#include "trust/descriptor_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>

#include "common/launcher_failure.h"
#include "tests/support/failure_sentence.h"
#include "tests/support/test_files.h"
#include "tests/support/test_signer.h"

namespace qvs {
namespace {

using testing::BytesOf;
using testing::SignWithTestKey;
using testing::SignWithUntrustedKey;

constexpr char kNotTrusted[] = "The update signature is not trusted.";
constexpr char kInvalidSize[] = "The update signature has an invalid size.";

const ByteBuffer kDescriptor = BytesOf(
    "QVS-SUPPORT-UPDATE-V1\n"
    "version=1.2.3\n"
    "path=/downloads/client/packages/host.exe\n"
    "size=10\n"
    "sha256=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n");

using qvs::testing::SentenceOf;

std::string Verify(const ByteBuffer& descriptor, const ByteBuffer& signature) {
  return SentenceOf([&] { VerifyDescriptorSignature(descriptor, signature); });
}

ByteBuffer WithCrLf(const ByteBuffer& text) {
  ByteBuffer result;
  for (const std::uint8_t byte : text) {
    if (byte == '\n') {
      result.push_back('\r');
    }
    result.push_back(byte);
  }
  return result;
}

// One DER INTEGER of an unsigned big-endian number: minimal, with a 0x00 before a high bit.
void AppendDerInteger(ByteBuffer& der, ByteView number) {
  std::size_t start = 0;
  while (start + 1 < number.size() && number[start] == 0) {
    ++start;
  }
  const bool pad = (number[start] & 0x80) != 0;
  der.push_back(0x02);
  der.push_back(static_cast<std::uint8_t>(number.size() - start + (pad ? 1 : 0)));
  if (pad) {
    der.push_back(0x00);
  }
  der.insert(der.end(), number.begin() + static_cast<std::ptrdiff_t>(start), number.end());
}

// The X9.62 form of an r||s signature: SEQUENCE { INTEGER r, INTEGER s }.
ByteBuffer ToDer(const ByteBuffer& signature) {
  ByteBuffer integers;
  AppendDerInteger(integers, ByteView(signature).first(32));
  AppendDerInteger(integers, ByteView(signature).last(32));
  integers.insert(integers.begin(), {0x30, static_cast<std::uint8_t>(integers.size())});
  return integers;
}

TEST(DescriptorSignature, AcceptsTheTestKeysSignature) {
  EXPECT_EQ(Verify(kDescriptor, SignWithTestKey(kDescriptor)), "");
}

// The check is over bytes, not over a valid descriptor: judging the content is the parser's job.
TEST(DescriptorSignature, AcceptsAnySignedBytes) {
  const ByteBuffer empty;
  EXPECT_EQ(Verify(empty, SignWithTestKey(empty)), "");
  const ByteBuffer garbage = {0x00, 0xFF, '\r', '\n', 0x1A};
  EXPECT_EQ(Verify(garbage, SignWithTestKey(garbage)), "");
}

TEST(DescriptorSignature, RefusesChangedDescriptors) {
  const ByteBuffer signature = SignWithTestKey(kDescriptor);

  ByteBuffer lf_added = kDescriptor;
  lf_added.push_back('\n');
  const ByteBuffer lf_removed(kDescriptor.begin(), kDescriptor.end() - 1);
  ByteBuffer empty_line_inserted = kDescriptor;
  empty_line_inserted.insert(empty_line_inserted.begin() + 22, '\n');
  ByteBuffer nul_appended = kDescriptor;
  nul_appended.push_back(0);

  const std::pair<const char*, ByteBuffer> changed[] = {
      {"lf added", lf_added},
      {"lf removed", lf_removed},
      {"crlf line ends", WithCrLf(kDescriptor)},
      {"empty line inserted", empty_line_inserted},
      {"nul appended", nul_appended},
      {"empty", ByteBuffer()},
  };
  for (const auto& [name, descriptor] : changed) {
    EXPECT_EQ(Verify(descriptor, signature), kNotTrusted) << name;
  }
  for (std::size_t i = 0; i < kDescriptor.size(); i += 7) {
    ByteBuffer one_byte_changed = kDescriptor;
    one_byte_changed[i] ^= 0x01;
    EXPECT_EQ(Verify(one_byte_changed, signature), kNotTrusted) << "byte " << i;
  }
}

// The empty descriptor is hashed like any other, so its signature does not cover other bytes.
TEST(DescriptorSignature, EmptyDescriptorSignatureCoversOnlyTheEmptyDescriptor) {
  const ByteBuffer signature = SignWithTestKey(ByteBuffer());
  EXPECT_EQ(Verify(BytesOf("\n"), signature), kNotTrusted);
  EXPECT_EQ(Verify(ByteBuffer(1, 0), signature), kNotTrusted);
}

TEST(DescriptorSignature, RefusesWrongSignatures) {
  const ByteBuffer good = SignWithTestKey(kDescriptor);

  ByteBuffer bit_flipped_in_r = good;
  bit_flipped_in_r[5] ^= 0x10;
  ByteBuffer bit_flipped_in_s = good;
  bit_flipped_in_s[63] ^= 0x01;
  ByteBuffer halves_swapped(good.begin() + 32, good.end());
  halves_swapped.insert(halves_swapped.end(), good.begin(), good.begin() + 32);

  const std::pair<const char*, ByteBuffer> wrong[] = {
      {"zero bytes", ByteBuffer(64, 0x00)},
      {"0xff bytes, r and s out of range", ByteBuffer(64, 0xFF)},
      {"another key", SignWithUntrustedKey(kDescriptor)},
      {"signature of other bytes", SignWithTestKey(BytesOf("QVS-SUPPORT-UPDATE-V1\n"))},
      {"bit flipped in r", bit_flipped_in_r},
      {"bit flipped in s", bit_flipped_in_s},
      {"halves swapped", halves_swapped},
  };
  for (const auto& [name, signature] : wrong) {
    ASSERT_EQ(signature.size(), 64u) << name;
    EXPECT_EQ(Verify(kDescriptor, signature), kNotTrusted) << name;
  }
}

TEST(DescriptorSignature, RefusesSignaturesOfAnyOtherLength) {
  const ByteBuffer good = SignWithTestKey(kDescriptor);
  for (const std::size_t length : {0u, 1u, 32u, 63u, 65u, 70u, 71u, 72u, 128u}) {
    // The valid signature's bytes, cut or padded: only the size decides.
    ByteBuffer signature(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(length, 64)));
    signature.resize(length, 0);
    EXPECT_EQ(Verify(kDescriptor, signature), kInvalidSize) << length;
  }
}

TEST(DescriptorSignature, RefusesTheDerFormOfAValidSignature) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ByteBuffer der = ToDer(SignWithTestKey(kDescriptor));
    ASSERT_GE(der.size(), 8u);
    ASSERT_LE(der.size(), 72u);
    EXPECT_EQ(Verify(kDescriptor, der), kInvalidSize) << der.size();
  }
}

}  // namespace
}  // namespace qvs
