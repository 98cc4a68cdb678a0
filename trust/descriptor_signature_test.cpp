#include "trust/descriptor_signature.h"

#include <gtest/gtest.h>

#include "common/launcher_failure.h"

namespace qvs {
namespace {

TEST(DescriptorSignature, RefusesZeroSignature) {
  const ByteBuffer descriptor = {'x'};
  const ByteBuffer signature(64, 0);
  try {
    VerifyDescriptorSignature(descriptor, signature);
    FAIL() << "accepted";
  } catch (const LauncherFailure& failure) {
    EXPECT_STREQ(failure.what(), "The update signature is not trusted.");
  }
}

}  // namespace
}  // namespace qvs
