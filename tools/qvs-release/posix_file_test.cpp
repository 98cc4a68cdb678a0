#include "tools/qvs-release/posix_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/launcher_failure.h"
#include "tools/qvs-release/test_files.h"
#include "tools/qvs-release/tool_error.h"

namespace qvs {
namespace {

using testing::BytesOf;
using testing::ReadBytes;
using testing::SnapshotTree;
using testing::TemporaryFolder;
using testing::WriteBytes;
using testing::WriteText;

std::string ReadFailure(const std::filesystem::path& path, std::uint64_t limit) {
  try {
    ReadBoundedFile(path, limit);
  } catch (const LauncherFailure& failure) {
    return failure.what();
  }
  return "no failure";
}

TEST(ReadBoundedFile, ReadsWholeBinaryFilesUpToTheLimit) {
  TemporaryFolder folder;
  const ByteBuffer binary = {0x0d, 0x0a, 0x1a, 0x00, 0xff};
  WriteBytes(folder / "binary", binary);
  WriteBytes(folder / "empty", {});
  EXPECT_EQ(ReadBoundedFile(folder / "binary", 5), binary);
  EXPECT_TRUE(ReadBoundedFile(folder / "empty", 0).empty());
}

TEST(ReadBoundedFile, FailsWithTheLaunchersSentences) {
  TemporaryFolder folder;
  WriteBytes(folder / "five", ByteBuffer(5, 1));
  std::filesystem::create_directory(folder / "folder");
  EXPECT_EQ(ReadFailure(folder / "five", 4), "A release file has an invalid size.");
  EXPECT_EQ(ReadFailure(folder / "missing", 4), "A release file could not be opened.");
  EXPECT_EQ(ReadFailure(folder / "folder", 4), "A release file could not be opened.");
}

TEST(CreateNewFile, WritesExactModeAndRefusesAnExistingFile) {
  TemporaryFolder folder;
  CreateNewFile(folder / "new", BytesOf("abc"), 0600);
  struct stat status {};
  ASSERT_EQ(::stat((folder / "new").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadBytes(folder / "new"), BytesOf("abc"));
  EXPECT_THROW(CreateNewFile(folder / "new", BytesOf("xyz"), 0600), ToolError);
  EXPECT_EQ(ReadBytes(folder / "new"), BytesOf("abc"));
}

TEST(ReplaceFileAtomically, ReplacesWholeAndLeavesNoTemporaryFile) {
  TemporaryFolder folder;
  ReplaceFileAtomically(folder / "target", BytesOf("first"), 0644);
  ReplaceFileAtomically(folder / "target", BytesOf("second, longer"), 0644);
  EXPECT_EQ(SnapshotTree(folder.path()), (std::map<std::string, std::string>{{"target", "second, longer"}}));
}

TEST(ReplaceFileAtomically, FailedRenameLeavesTargetAndNoTemporaryFile) {
  TemporaryFolder folder;
  std::filesystem::create_directories(folder / "target" / "inside");  // a non-empty folder cannot be renamed over
  const auto before = SnapshotTree(folder.path());
  EXPECT_THROW(ReplaceFileAtomically(folder / "target", BytesOf("data"), 0644), ToolError);
  EXPECT_EQ(SnapshotTree(folder.path()), before);
}

TEST(PlaceNewFileAtomically, NeverReplacesAnExistingFile) {
  TemporaryFolder folder;
  PlaceNewFileAtomically(folder / "package", BytesOf("one"), 0644);
  EXPECT_THROW(PlaceNewFileAtomically(folder / "package", BytesOf("two"), 0644), ToolError);
  EXPECT_EQ(SnapshotTree(folder.path()), (std::map<std::string, std::string>{{"package", "one"}}));
}

}  // namespace
}  // namespace qvs
