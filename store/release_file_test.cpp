#include "store/release_file.h"

#include <gtest/gtest.h>

#include "common/launcher_failure.h"

namespace qvs {
namespace {

TEST(ReadReleaseFile, MissingFile) {
  EXPECT_THROW(ReadReleaseFile(L"no-such-file.bin", 10), LauncherFailure);
}

}  // namespace
}  // namespace qvs
