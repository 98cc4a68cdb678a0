#include "launcher/launch_mode.h"

#include <gtest/gtest.h>

#include <vector>

namespace qvs {
namespace {

struct ModeCase {
  const char* name;
  std::vector<const wchar_t*> arguments;  // argument 0, the program, is added in front
  LaunchMode expected;
};

TEST(ChooseLaunchMode, OnlyTheExactFlagAsArgumentOneSelectsVerification) {
  const ModeCase cases[] = {
      {"no arguments", {}, LaunchMode::kNormal},
      {"flag alone", {L"--verify-package"}, LaunchMode::kVerification},
      {"flag with three paths", {L"--verify-package", L"a", L"b", L"c"}, LaunchMode::kVerification},
      {"flag with the wrong count still verifies", {L"--verify-package", L"a"}, LaunchMode::kVerification},
      {"capital letter", {L"--Verify-Package", L"a", L"b", L"c"}, LaunchMode::kNormal},
      {"all capitals", {L"--VERIFY-PACKAGE", L"a", L"b", L"c"}, LaunchMode::kNormal},
      {"equals and value", {L"--verify-package=a", L"b", L"c"}, LaunchMode::kNormal},
      {"further letter", {L"--verify-packages", L"a", L"b", L"c"}, LaunchMode::kNormal},
      {"prefix only", {L"--verify-packag", L"a", L"b", L"c"}, LaunchMode::kNormal},
      {"single dash", {L"-verify-package", L"a", L"b", L"c"}, LaunchMode::kNormal},
      {"trailing space", {L"--verify-package ", L"a", L"b", L"c"}, LaunchMode::kNormal},
      {"flag as argument 2", {L"x", L"--verify-package", L"a", L"b"}, LaunchMode::kNormal},
      {"empty argument 1", {L"", L"--verify-package"}, LaunchMode::kNormal},
      {"arbitrary arguments", {L"/S", L"--help"}, LaunchMode::kNormal},
  };
  for (const ModeCase& c : cases) {
    std::vector<const wchar_t*> argv{L"C:\\QuorvantisSupport.exe"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(ChooseLaunchMode(static_cast<int>(argv.size()), argv.data()), c.expected) << c.name;
  }
}

TEST(ChooseLaunchMode, CountBelowTwoNeverLooksAtArgumentOne) {
  const wchar_t* argv[] = {L"launcher", L"--verify-package"};
  EXPECT_EQ(ChooseLaunchMode(1, argv), LaunchMode::kNormal);
  EXPECT_EQ(ChooseLaunchMode(0, argv), LaunchMode::kNormal);
}

}  // namespace
}  // namespace qvs
