#include "store/files/atomic_file.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "common/kernel_handle.h"
#include "common/launcher_failure.h"
#include "tests/support/failure_sentence.h"
#include "tests/support/test_files.h"

namespace qvs {
namespace {

using testing::ReadBinaryFile;
using testing::ScratchFolder;
using testing::SentenceOf;
using testing::WriteBinaryFile;

ByteView View(const std::string& text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(ReplaceFileAtomically, WritesNewTargetsInFull) {
  struct Case {
    const char* name;
    std::wstring relative_target;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty bytes", L"empty.bin", ""},
      {"missing parents", L"a\\b\\c\\file.bin", "content"},
      {"binary bytes", L"binary.bin", std::string("\r\n\x1a\0\xff\r", 6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder;
    const std::filesystem::path target = folder.path() / c.relative_target;
    ReplaceFileAtomically(target, View(c.bytes));
    EXPECT_EQ(ReadBinaryFile(target), c.bytes);
    EXPECT_FALSE(std::filesystem::exists(StagingPath(target)));
  }
}

TEST(ReplaceFileAtomically, ReplacesExistingTargetWhole) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"current.txt";
  WriteBinaryFile(target, "a much longer former content");
  ReplaceFileAtomically(target, View("1.2"));
  EXPECT_EQ(ReadBinaryFile(target), "1.2");
}

TEST(ReplaceFileAtomically, EmptiesAndReusesLeftoverStagingFile) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"stable.manifest";
  WriteBinaryFile(target, "old");
  WriteBinaryFile(StagingPath(target), "leftover from an earlier attempt, longer than the new bytes");
  ReplaceFileAtomically(target, View("new"));
  EXPECT_EQ(ReadBinaryFile(target), "new");
  EXPECT_FALSE(std::filesystem::exists(StagingPath(target)));
}

TEST(ReplaceFileAtomically, StagingPathAppendsToWholeName) {
  EXPECT_EQ(StagingPath(L"C:\\data\\current.txt").native(), L"C:\\data\\current.txt.new");
  EXPECT_EQ(StagingPath(L"C:\\data\\versions\\1.0\\QuorvantisSupportHost.exe").native(),
            L"C:\\data\\versions\\1.0\\QuorvantisSupportHost.exe.new");
}

TEST(ReplaceFileAtomically, FailedRenameDeletesStagingAndKeepsTargetOpenElsewhere) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"QuorvantisSupportHost.exe";
  WriteBinaryFile(target, "old host");
  {
    // Held open like a running program or a reader: sharing read and write, but not delete.
    HANDLE raw = ::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    const ScopedFileHandle holder(raw);
    EXPECT_EQ(SentenceOf([&] { ReplaceFileAtomically(target, View("new host")); }),
              "The update package could not be activated.");
    EXPECT_FALSE(std::filesystem::exists(StagingPath(target)));
  }
  EXPECT_EQ(ReadBinaryFile(target), "old host");
}

TEST(ReplaceFileAtomically, FailedRenameOverFolderDeletesStaging) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"stable.manifest";
  WriteBinaryFile(target / L"inside.txt", "kept");
  EXPECT_EQ(SentenceOf([&] { ReplaceFileAtomically(target, View("descriptor")); }),
            "The update package could not be activated.");
  EXPECT_FALSE(std::filesystem::exists(StagingPath(target)));
  EXPECT_TRUE(std::filesystem::is_directory(target));
  EXPECT_EQ(ReadBinaryFile(target / L"inside.txt"), "kept");
}

TEST(ReplaceFileAtomically, BlockedStagingFileLeavesTargetUnchanged) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"current.txt";
  WriteBinaryFile(target, "1.0");
  std::filesystem::create_directories(StagingPath(target));
  EXPECT_EQ(SentenceOf([&] { ReplaceFileAtomically(target, View("2.0")); }), "The update package could not be stored.");
  EXPECT_EQ(ReadBinaryFile(target), "1.0");
  EXPECT_TRUE(std::filesystem::is_directory(StagingPath(target)));
}

TEST(ReplaceFileAtomically, ParentBlockedByFileRaisesFilesystemError) {
  ScratchFolder folder;
  WriteBinaryFile(folder.path() / L"versions", "a file where a folder belongs");
  const std::filesystem::path target = folder.path() / L"versions" / L"1.0" / L"QuorvantisSupportHost.exe";
  EXPECT_THROW(ReplaceFileAtomically(target, View("host")), std::filesystem::filesystem_error);
  EXPECT_EQ(ReadBinaryFile(folder.path() / L"versions"), "a file where a folder belongs");
}

}  // namespace
}  // namespace qvs
