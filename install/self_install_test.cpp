#include "install/self_install.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <cwctype>

#include "common/com_apartment.h"
#include "files/atomic_file.h"
#include "files/known_folders.h"
#include "files/launcher_path.h"
#include "install/shortcut.h"
#include "tests/support/failure_sentence.h"
#include "tests/support/test_files.h"

namespace qvs {
namespace {

using testing::ReadBinaryFile;
using testing::ScratchFolder;
using testing::SentenceOf;
using testing::WriteBinaryFile;

std::filesystem::path DesktopShortcut() { return GetKnownFolder(FOLDERID_Desktop) / L"Quorvantis Support.lnk"; }

std::filesystem::path StartMenuShortcut() {
  return GetKnownFolder(FOLDERID_Programs) / L"Quorvantis Software" / L"Quorvantis Support.lnk";
}

void ExpectShortcutTo(const std::filesystem::path& shortcut, const std::filesystem::path& target) {
  SCOPED_TRACE(shortcut.filename().string());
  const auto properties = ReadShortcut(shortcut);
  ASSERT_TRUE(properties.has_value());
  EXPECT_EQ(properties->target, target.native());
  EXPECT_EQ(properties->arguments, L"");
  EXPECT_EQ(properties->description, L"Start an attended Quorvantis Support session");
  EXPECT_EQ(properties->icon_path, target.native());
  EXPECT_EQ(properties->icon_index, 0);
}

class InstallLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override { RemoveShortcuts(); }
  void TearDown() override { RemoveShortcuts(); }
  static void RemoveShortcuts() {
    std::filesystem::remove(DesktopShortcut());
    std::filesystem::remove_all(StartMenuShortcut().parent_path());
  }

  ComApartment com_;
};

TEST_F(InstallLauncherTest, CopiesFromElsewhereAndWritesBothShortcuts) {
  ScratchFolder folder;
  const std::filesystem::path installed =
      folder.path() / L"Quorvantis Software" / L"QVS Support" / kInstalledLauncherName;

  InstallLauncher(installed);

  EXPECT_EQ(ReadBinaryFile(installed), ReadBinaryFile(GetLauncherPath()));
  EXPECT_FALSE(std::filesystem::exists(StagingPath(installed)));
  ExpectShortcutTo(DesktopShortcut(), installed);
  ExpectShortcutTo(StartMenuShortcut(), installed);
}

TEST_F(InstallLauncherTest, ReplacesAnyInstalledCopyAndLeftoverStagingFile) {
  const std::string launcher_bytes = ReadBinaryFile(GetLauncherPath());
  struct Case {
    const char* name;
    std::string installed_before;
  };
  const Case cases[] = {{"older copy", "MZ an older launcher"}, {"identical copy", launcher_bytes}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Beside the running program, on its drive: the standard library's copy then takes any
    // existing file there for the source itself unless the leftover is removed first.
    ScratchFolder folder(GetLauncherPath().parent_path());
    const std::filesystem::path installed = folder.path() / kInstalledLauncherName;
    WriteBinaryFile(installed, c.installed_before);
    WriteBinaryFile(StagingPath(installed), "leftover of an earlier failed copy");

    InstallLauncher(installed);

    EXPECT_EQ(ReadBinaryFile(installed), launcher_bytes);
    EXPECT_FALSE(std::filesystem::exists(StagingPath(installed)));
  }
}

TEST_F(InstallLauncherTest, RunningInstalledCopyInOtherLetterCaseCopiesNothing) {
  std::wstring installed_text = GetLauncherPath().native();
  for (wchar_t& unit : installed_text) {
    unit = static_cast<wchar_t>(std::towupper(unit));
  }
  const std::filesystem::path installed(installed_text);

  InstallLauncher(installed);

  EXPECT_FALSE(std::filesystem::exists(StagingPath(GetLauncherPath())));
  ExpectShortcutTo(DesktopShortcut(), installed);
  ExpectShortcutTo(StartMenuShortcut(), installed);
}

TEST_F(InstallLauncherTest, RestoresDeletedShortcutsOnTheNextRun) {
  ScratchFolder folder;
  const std::filesystem::path installed = folder.path() / kInstalledLauncherName;
  InstallLauncher(installed);
  RemoveShortcuts();
  ASSERT_FALSE(std::filesystem::exists(DesktopShortcut()));

  InstallLauncher(installed);

  ExpectShortcutTo(DesktopShortcut(), installed);
  ExpectShortcutTo(StartMenuShortcut(), installed);
}

TEST_F(InstallLauncherTest, FailedMoveKeepsInstalledCopyAndRemovesStagingFile) {
  ScratchFolder folder;
  // A folder in the installed copy's place cannot be replaced by a file.
  const std::filesystem::path installed = folder.path() / kInstalledLauncherName;
  WriteBinaryFile(installed / L"inside.txt", "kept");
  EXPECT_EQ(SentenceOf([&] { InstallLauncher(installed); }), "The launcher could not install itself.");
  EXPECT_EQ(ReadBinaryFile(installed / L"inside.txt"), "kept");
  EXPECT_FALSE(std::filesystem::exists(StagingPath(installed)));
}

TEST_F(InstallLauncherTest, BlockedStagingFileRaisesCopyError) {
  ScratchFolder folder;
  const std::filesystem::path installed = folder.path() / kInstalledLauncherName;
  WriteBinaryFile(StagingPath(installed) / L"inside.txt", "a folder where the staging file belongs");
  try {
    InstallLauncher(installed);
    FAIL() << "no failure raised";
  } catch (const std::filesystem::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("copy"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(std::filesystem::exists(installed));
}

}  // namespace
}  // namespace qvs
