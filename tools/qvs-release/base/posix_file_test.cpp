#include "tools/qvs-release/base/posix_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/launcher_failure.h"
#include "tests/support/failure_sentence.h"
#include "tests/support/test_files.h"
#include "tools/qvs-release/base/input_file.h"
#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

using testing::BytesOf;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::SnapshotTree;
using testing::WriteBytes;

// The launcher's sentence that a release file's refusal ends with, after "PATH: ".
std::string ReadFailure(const std::filesystem::path& path, std::uint64_t limit) {
  try {
    ReadNamedFile(path, limit);
  } catch (const ToolError& error) {
    const std::string text = error.what();
    return text.starts_with(path.string() + ": ") ? text.substr(path.string().size() + 2) : text;
  }
  return "";
}

TEST(ReadNamedFile, ReadsWholeBinaryFilesUpToTheLimit) {
  ScratchFolder folder;
  const ByteBuffer binary = {0x0d, 0x0a, 0x1a, 0x00, 0xff};
  WriteBytes(folder / "binary", binary);
  WriteBytes(folder / "empty", {});
  EXPECT_EQ(ReadNamedFile(folder / "binary", 5), binary);
  EXPECT_TRUE(ReadNamedFile(folder / "empty", 0).empty());
}

TEST(ReadNamedFile, FailsWithTheLaunchersSentencesAfterThePath) {
  ScratchFolder folder;
  WriteBytes(folder / "five", ByteBuffer(5, 1));
  std::filesystem::create_directory(folder / "folder");
  EXPECT_EQ(ReadFailure(folder / "five", 4), "A release file has an invalid size.");
  EXPECT_EQ(ReadFailure(folder / "missing", 4), "A release file could not be opened.");
  EXPECT_EQ(ReadFailure(folder / "folder", 4), "A release file could not be opened.");
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(ReadFailure(folder / "fifo", 4), "A release file could not be opened.");  // and does not wait
}

TEST(InputFile, EachRefusalNamesTheFileAndTheReasonAndNothingWaits) {
  ScratchFolder folder;
  WriteBytes(folder / "five", ByteBuffer(5, 1));
  WriteBytes(folder / "empty", {});
  WriteBytes(folder / "locked", ByteBuffer(5, 1));
  std::filesystem::permissions(folder / "locked", std::filesystem::perms::none);
  std::filesystem::create_directory(folder / "folder");
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);  // no writer: a blocking open would hang
  struct Case {
    std::filesystem::path path;
    std::string reason;  // empty: read whole
  };
  const Case cases[] = {
      {folder / "five", ""},
      {folder / "missing", "could not be opened: No such file or directory"},
      {folder / "five" / "below", "could not be opened: Not a directory"},
      {folder / "folder", "is a folder, not a regular file"},
      {folder / "fifo", "is a named pipe (FIFO), not a regular file"},
      {"/dev/null", "is a character device, not a regular file"},
      {folder / "empty", "is empty"},
      // Root reads a file of mode 0000 all the same; the refusal is then only the system's to make.
      {folder / "locked", ::geteuid() == 0 ? "" : "could not be opened: Permission denied"},
  };
  for (const Case& c : cases) {
    try {
      EXPECT_EQ(ReadInputFile(c.path, "package", 5).size(), 5u) << c.path;
      EXPECT_EQ(c.reason, "") << c.path;
    } catch (const ToolError& error) {
      EXPECT_EQ(error.what(), "package " + c.path.string() + ": " + c.reason);
    }
  }
  EXPECT_THROW(ReadInputFile(folder / "five", "package", 4), ToolError);
}

TEST(CreateNewFile, WritesExactModeAndRefusesAnExistingFile) {
  ScratchFolder folder;
  CreateNewFile(folder / "new", BytesOf("abc"), 0600);
  struct stat status {};
  ASSERT_EQ(::stat((folder / "new").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadBytes(folder / "new"), BytesOf("abc"));
  EXPECT_THROW(CreateNewFile(folder / "new", BytesOf("xyz"), 0600), ToolError);
  EXPECT_EQ(ReadBytes(folder / "new"), BytesOf("abc"));
}

TEST(ReplaceFileAtomically, ReplacesWholeAndLeavesNoTemporaryFile) {
  ScratchFolder folder;
  ReplaceFileAtomically(folder / "target", BytesOf("first"), 0644);
  ReplaceFileAtomically(folder / "target", BytesOf("second, longer"), 0644);
  EXPECT_EQ(SnapshotTree(folder.path()), (std::map<std::string, std::string>{{"target", "second, longer"}}));
}

TEST(ReplaceFileAtomically, FailedRenameLeavesTargetAndNoTemporaryFile) {
  ScratchFolder folder;
  std::filesystem::create_directories(folder / "target" / "inside");  // a non-empty folder cannot be renamed over
  const auto before = SnapshotTree(folder.path());
  EXPECT_THROW(ReplaceFileAtomically(folder / "target", BytesOf("data"), 0644), ToolError);
  EXPECT_EQ(SnapshotTree(folder.path()), before);
}

}  // namespace
}  // namespace qvs
