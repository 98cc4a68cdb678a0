#include "tools/qvs-release/keys/signature_codec.h"

#include <gtest/gtest.h>

#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

ByteBuffer RawOf(std::uint8_t r_first, std::uint8_t r_last, std::uint8_t s_first, std::uint8_t s_last) {
  ByteBuffer raw(kSignatureSize, 0x11);
  raw[0] = r_first;
  raw[31] = r_last;
  raw[32] = s_first;
  raw[63] = s_last;
  return raw;
}

TEST(SignatureCodec, SmallIntegersHaveTheShortestDer) {
  ByteBuffer raw(kSignatureSize, 0);
  raw[31] = 1;
  raw[63] = 2;
  EXPECT_EQ(RawToDerSignature(raw), (ByteBuffer{0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02}));
  EXPECT_EQ(DerToRawSignature(ByteBuffer{0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02}), raw);
}

TEST(SignatureCodec, HighBitGetsAZeroPadInDer) {
  const ByteBuffer raw = RawOf(0x80, 0x01, 0x7f, 0x02);
  const ByteBuffer der = RawToDerSignature(raw);
  ASSERT_EQ(der.size(), 2u + 35u + 34u);
  EXPECT_EQ(der[2], 0x02);
  EXPECT_EQ(der[3], 33);  // r: a 0x00 pad, then 32 bytes
  EXPECT_EQ(der[4], 0x00);
  EXPECT_EQ(der[5], 0x80);
  EXPECT_EQ(der[38], 32);  // s: no pad
}

TEST(SignatureCodec, RoundTripsKeepLeadingZeros) {
  const ByteBuffer cases[] = {RawOf(0x00, 0x01, 0x00, 0x02), RawOf(0xff, 0xff, 0xff, 0xff),
                              RawOf(0x00, 0x80, 0x80, 0x00), RawOf(0x7f, 0x00, 0x01, 0x00)};
  for (const ByteBuffer& raw : cases) {
    EXPECT_EQ(DerToRawSignature(RawToDerSignature(raw)), raw);
  }
}

TEST(SignatureCodec, RefusesWhatIsNotOneSignature) {
  ByteBuffer with_trailing_byte = RawToDerSignature(RawOf(1, 2, 3, 4));
  with_trailing_byte.push_back(0);
  // r of 33 significant bytes does not fit the fixed form.
  ByteBuffer too_wide = {0x30, 0x26, 0x02, 0x21, 0x01};
  too_wide.resize(4 + 33, 0x22);
  too_wide.insert(too_wide.end(), {0x02, 0x01, 0x01});
  const ByteBuffer cases[] = {{}, {0x30, 0x00}, with_trailing_byte, too_wide, ByteBuffer(64, 0x30)};
  for (const ByteBuffer& der : cases) {
    EXPECT_THROW(DerToRawSignature(der), ToolError) << der.size();
  }
  EXPECT_THROW(RawToDerSignature(ByteBuffer(63)), ToolError);
  EXPECT_THROW(RawToDerSignature(ByteBuffer(65)), ToolError);
}

}  // namespace
}  // namespace qvs
