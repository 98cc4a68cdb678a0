#include "install/shortcut.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdint>
#include <utility>

#include "common/com_apartment.h"
#include "common/com_ptr.h"
#include "tests/support/test_files.h"

namespace qvs {
namespace {

using testing::ReadBinaryFile;
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

// The file's identity and last write: a link left as it is keeps both.
std::pair<std::uint64_t, std::uint64_t> FileStamp(const std::filesystem::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  EXPECT_TRUE(::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
  return {(std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime,
          (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow};
}

TEST_F(WriteShortcutTest, RewritesALinkOnlyWhenWhatItOpensOrShowsDiffers) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"QuorvantisSupport.exe";
  const std::filesystem::path elsewhere = folder.path() / L"elsewhere.exe";
  WriteBinaryFile(target, "MZ");
  WriteBinaryFile(elsewhere, "MZ");
  const std::filesystem::path shortcut = folder.path() / L"Quorvantis Support.lnk";
  // Links that differ from the launcher's in one property each: all are rewritten.
  const auto altered = [&](auto change) {
    ShortcutProperties properties = LauncherShortcut(target);
    change(properties);
    return properties;
  };
  const ShortcutProperties others[] = {
      altered([&](ShortcutProperties& p) { p.target = elsewhere.native(); }),
      altered([](ShortcutProperties& p) { p.arguments = L"--verify-package=x"; }),
      altered([&](ShortcutProperties& p) { p.working_directory = folder.path().native(); }),
      altered([](ShortcutProperties& p) { p.description = L"Another program"; }),
      altered([&](ShortcutProperties& p) { p.icon_path = elsewhere.native(); }),
      altered([](ShortcutProperties& p) { p.icon_index = 1; }),
  };
  for (const ShortcutProperties& other : others) {
    ComPtr<IShellLinkW> link;
    ASSERT_TRUE(SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                             reinterpret_cast<void**>(link.receive()))));
    link->SetPath(other.target.c_str());
    link->SetArguments(other.arguments.c_str());
    link->SetWorkingDirectory(other.working_directory.c_str());
    link->SetDescription(other.description.c_str());
    link->SetIconLocation(other.icon_path.c_str(), other.icon_index);
    ComPtr<IPersistFile> file;
    ASSERT_TRUE(SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.receive()))));
    ASSERT_TRUE(SUCCEEDED(file->Save(shortcut.c_str(), TRUE)));
    ASSERT_EQ(ReadShortcut(shortcut), other);

    WriteShortcut(shortcut, target);
    EXPECT_EQ(ReadShortcut(shortcut), LauncherShortcut(target));
  }
  // The launcher's own link is left alone, byte for byte and time for time.
  const auto before = FileStamp(shortcut);
  const std::string bytes = ReadBinaryFile(shortcut);
  ::Sleep(20);
  WriteShortcut(shortcut, target);
  EXPECT_EQ(FileStamp(shortcut), before);
  EXPECT_EQ(ReadBinaryFile(shortcut), bytes);
  // A file that is not a link is replaced by one.
  WriteBinaryFile(shortcut, "not a link");
  WriteShortcut(shortcut, target);
  EXPECT_EQ(ReadShortcut(shortcut), LauncherShortcut(target));
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
