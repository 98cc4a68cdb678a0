#include "files/launcher_path.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "common/scope_guard.h"
#include "files/known_folders.h"
#include "tests/support/test_files.h"

namespace qvs {
namespace {

using testing::ScratchFolder;
using testing::WriteBinaryFile;

TEST(IsSameLauncherPath, WithoutTheFilesFoldsOnlyAsciiLettersAfterNormalForm) {
  struct Case {
    const wchar_t* launcher;
    const wchar_t* installed;
    bool same;
  };
  const Case cases[] = {
      {L"C:\\Data\\QuorvantisSupport.exe", L"C:\\Data\\QuorvantisSupport.exe", true},
      {L"C:\\Data\\QuorvantisSupport.exe", L"c:\\DATA\\quorvantissupport.EXE", true},
      {L"C:\\Data\\caf\u00e9.exe", L"C:\\Data\\caf\u00c9.exe", false},
      {L"C:\\Data\\k.exe", L"C:\\Data\\\u212a.exe", false},  // Kelvin sign, which full folding maps to k
      {L"C:\\Data\\x\\..\\.\\QuorvantisSupport.exe", L"C:\\Data\\QuorvantisSupport.exe", true},
      {L"C:\\Data\\QuorvantisSupport.exe", L"C:\\Data\\QuorvantisSupport.exe.new", false},
      {L"C:\\Data\\QuorvantisSupport.exe", L"C:\\Other\\QuorvantisSupport.exe", false},
      {L"C:\\Data\\[.exe", L"C:\\Data\\{.exe", false},  // neighbours of the letters are not letters
      {L"C:\\Data\\@.exe", L"C:\\Data\\`.exe", false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    EXPECT_EQ(IsSameLauncherPath(c.launcher, c.installed), c.same);
    EXPECT_EQ(IsSameLauncherPath(c.installed, c.launcher), c.same);
  }
}

TEST(IsSameLauncherPath, BringsARelativeInstalledPathToCanonicalForm) {
  ScratchFolder folder;
  WriteBinaryFile(folder.path() / L"QuorvantisSupport.exe", "MZ");
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder.path());
  const ScopeExit restore([&] { std::filesystem::current_path(previous); });

  EXPECT_TRUE(IsSameLauncherPath(folder.path() / L"QuorvantisSupport.exe", L"QuorvantisSupport.exe"));
  EXPECT_TRUE(IsSameLauncherPath(folder.path() / L"QuorvantisSupport.exe", L"sub\\..\\QUORVANTISSUPPORT.exe"));
  EXPECT_FALSE(IsSameLauncherPath(folder.path() / L"QuorvantisSupport.exe", L"other\\QuorvantisSupport.exe"));
}

TEST(IsSameLauncherPath, TellsTheFileByItsIdentityHoweverItsPathIsSpelled) {
  ScratchFolder folder;
  const std::filesystem::path installed = folder.path() / L"Quorvantis Software" / L"QuorvantisSupport.exe";
  WriteBinaryFile(installed, "MZ the installed copy");
  WriteBinaryFile(folder.path() / L"copy.exe", "MZ the installed copy");
  ASSERT_TRUE(::CreateHardLinkW((folder.path() / L"hard link.exe").c_str(), installed.c_str(), nullptr));
  std::wstring short_name(32768, L'\0');
  const DWORD short_length =
      ::GetShortPathNameW(installed.c_str(), short_name.data(), static_cast<DWORD>(short_name.size()));
  ASSERT_GT(short_length, 0u);
  short_name.resize(short_length);
  ASSERT_NE(short_name, installed.native());

  struct Case {
    std::filesystem::path launcher;
    bool same;
  };
  const Case cases[] = {
      {installed, true},
      {short_name, true},
      {L"\\\\?\\" + installed.native(), true},
      {folder.path() / L"hard link.exe", true},  // one file under two names
      {folder.path() / L"copy.exe", false},      // the same bytes, another file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.launcher.string());
    EXPECT_EQ(IsSameLauncherPath(c.launcher, installed), c.same);
    EXPECT_EQ(IsSameLauncherPath(installed, c.launcher), c.same);
  }
}

TEST(GetLauncherPath, NamesThisProgram) {
  const std::filesystem::path launcher = GetLauncherPath();
  EXPECT_TRUE(launcher.is_absolute());
  EXPECT_EQ(launcher.filename(), L"file_tests.exe");
  EXPECT_TRUE(std::filesystem::is_regular_file(launcher));
  EXPECT_TRUE(IsSameLauncherPath(launcher, launcher));
}

TEST(GetDataFolder, IsComposedBelowLocalAppDataAndKeepsContent) {
  const std::filesystem::path expected =
      GetKnownFolder(FOLDERID_LocalAppData) / L"Quorvantis Software" / L"QVS Support";
  std::filesystem::remove_all(expected.parent_path());

  EXPECT_EQ(GetDataFolder().native(), expected.native());
  EXPECT_TRUE(std::filesystem::is_directory(expected));

  WriteBinaryFile(expected / L"current.txt", "1.0");
  EXPECT_EQ(GetDataFolder().native(), expected.native());
  EXPECT_EQ(testing::ReadBinaryFile(expected / L"current.txt"), "1.0");
  std::filesystem::remove_all(expected.parent_path());
}

TEST(GetDataFolder, FileInTheWayRaisesFilesystemError) {
  const std::filesystem::path vendor = GetKnownFolder(FOLDERID_LocalAppData) / L"Quorvantis Software";
  std::filesystem::remove_all(vendor);
  WriteBinaryFile(vendor, "not a folder");
  EXPECT_THROW(GetDataFolder(), std::filesystem::filesystem_error);
  std::filesystem::remove_all(vendor);
}

}  // namespace
}  // namespace qvs
