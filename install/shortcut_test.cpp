#include "install/shortcut.h"

#include <windows.h>
#include <gtest/gtest.h>

#include "common/com_apartment.h"
#include "tests/support/shortcut_properties.h"
#include "tests/support/test_files.h"

namespace qvs {
namespace {

using testing::ReadBinaryFile;
using testing::ReadShortcut;
using testing::ScratchFolder;
using testing::WriteBinaryFile;

class WriteShortcutTest : public ::testing::Test {
 protected:
  ComApartment com_;
};

TEST_F(WriteShortcutTest, CreatesFolderAndSetsExactlyTheLaunchProperties) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"data folder" / L"QuorvantisSupport.exe";
  WriteBinaryFile(target, "MZ");
  const std::filesystem::path shortcut = folder.path() / L"Start Menu" / L"Quorvantis Software" / L"x.lnk";

  WriteShortcut(shortcut, target);

  const auto properties = ReadShortcut(shortcut);
  ASSERT_TRUE(properties.has_value());
  EXPECT_EQ(properties->target, target.native());
  EXPECT_EQ(properties->arguments, L"");
  EXPECT_EQ(properties->working_directory, L"");
  EXPECT_EQ(properties->description, L"Start an attended Quorvantis Support session");
  EXPECT_EQ(properties->icon_path, target.native());
  EXPECT_EQ(properties->icon_index, 0);
}

TEST_F(WriteShortcutTest, OverwritesAnAlteredShortcut) {
  ScratchFolder folder;
  const std::filesystem::path first = folder.path() / L"first.exe";
  const std::filesystem::path second = folder.path() / L"second.exe";
  WriteBinaryFile(first, "MZ");
  WriteBinaryFile(second, "MZ");
  const std::filesystem::path shortcut = folder.path() / L"Quorvantis Support.lnk";

  WriteShortcut(shortcut, first);
  WriteShortcut(shortcut, second);

  const auto properties = ReadShortcut(shortcut);
  ASSERT_TRUE(properties.has_value());
  EXPECT_EQ(properties->target, second.native());
  EXPECT_EQ(properties->icon_path, second.native());
}

TEST_F(WriteShortcutTest, FolderThatCannotBeCreatedLeavesNoShortcutAndNoReport) {
  ScratchFolder folder;
  WriteBinaryFile(folder.path() / L"Quorvantis Software", "a file where a folder belongs");
  EXPECT_NO_THROW(WriteShortcut(folder.path() / L"Quorvantis Software" / L"Quorvantis Support.lnk",
                                folder.path() / L"QuorvantisSupport.exe"));
  EXPECT_EQ(ReadBinaryFile(folder.path() / L"Quorvantis Software"), "a file where a folder belongs");
}

}  // namespace
}  // namespace qvs
