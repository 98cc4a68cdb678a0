#include "files/atomic_file.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/kernel_handle.h"
#include "common/launcher_failure.h"
#include "tests/support/failure_sentence.h"
#include "tests/support/test_files.h"

namespace qvs {
namespace {

// The store's sentences, as the release store passes them.
constexpr FileSentences kSentences{"The update package could not be stored.",
                                   "The update package could not be flushed.",
                                   "The update package could not be activated."};

using testing::ReadBinaryFile;
using testing::ScratchFolder;
using testing::SentenceOf;
using testing::WriteBinaryFile;

ByteView View(const std::string& text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool IsReadOnly(const std::filesystem::path& file) {
  const DWORD attributes = ::GetFileAttributesW(file.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Another program's handle on a file, opened as scanners open new files: reading, without delete
// sharing. It lets go after `milliseconds`, or, for a file marked read-only, once the mark is gone:
// Windows refuses to replace a read-only file, Wine does not, so the hold stands in for Windows.
class Hold {
 public:
  Hold(const std::filesystem::path& file, int milliseconds)
      : handle_(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)),
        holder_([this, file, milliseconds] {
          // A mark that nobody clears is let go after 10 s, so a failing test still ends.
          const auto start = std::chrono::steady_clock::now();
          const auto until = start + std::chrono::milliseconds(milliseconds);
          while (std::chrono::steady_clock::now() < until ||
                 (IsReadOnly(file) && std::chrono::steady_clock::now() < start + std::chrono::seconds(10))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
          handle_.reset();
        }) {}
  ~Hold() { holder_.join(); }
  bool held() const { return static_cast<bool>(handle_); }

 private:
  ScopedFileHandle handle_;
  std::thread holder_;
};

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
    ReplaceFileAtomically(target, View(c.bytes), kSentences);
    EXPECT_EQ(ReadBinaryFile(target), c.bytes);
    EXPECT_FALSE(std::filesystem::exists(StagingPath(target)));
  }
}

TEST(ReplaceFileAtomically, ReplacesExistingTargetWhole) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"current.txt";
  WriteBinaryFile(target, "a much longer former content");
  ReplaceFileAtomically(target, View("1.2"), kSentences);
  EXPECT_EQ(ReadBinaryFile(target), "1.2");
}

TEST(ReplaceFileAtomically, EmptiesAndReusesLeftoverStagingFile) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"stable.manifest";
  WriteBinaryFile(target, "old");
  WriteBinaryFile(StagingPath(target), "leftover from an earlier attempt, longer than the new bytes");
  ReplaceFileAtomically(target, View("new"), kSentences);
  EXPECT_EQ(ReadBinaryFile(target), "new");
  EXPECT_FALSE(std::filesystem::exists(StagingPath(target)));
}

TEST(ReplaceFileAtomically, StagingPathAppendsToWholeName) {
  EXPECT_EQ(StagingPath(L"C:\\data\\current.txt").native(), L"C:\\data\\current.txt.new");
  EXPECT_EQ(StagingPath(L"C:\\data\\versions\\1.0\\QuorvantisSupportHost.exe").native(),
            L"C:\\data\\versions\\1.0\\QuorvantisSupportHost.exe.new");
}

TEST(ReplaceFileAtomically, RidesOutShortHoldsAndReadOnlyMarks) {
  struct Case {
    const char* name;
    bool leftover_staging;  // the hostile condition sits on a staging file left by an earlier run
    bool read_only;
    int hold_milliseconds;
  };
  const Case cases[] = {
      {"target held by a scanner", false, false, 200},
      {"leftover staging file held by a scanner", true, false, 200},
      {"read-only target", false, true, 0},
      {"read-only leftover staging file", true, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder;
    const std::filesystem::path target = folder.path() / L"current.txt";
    WriteBinaryFile(target, "1.0");
    const std::filesystem::path hostile = c.leftover_staging ? StagingPath(target) : target;
    WriteBinaryFile(hostile, "held");
    if (c.read_only) {
      ASSERT_TRUE(::SetFileAttributesW(hostile.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    {
      Hold hold(hostile, c.hold_milliseconds);
      ASSERT_TRUE(hold.held());
      EXPECT_NO_THROW(ReplaceFileAtomically(target, View("2.0"), kSentences));
    }
    EXPECT_EQ(ReadBinaryFile(target), "2.0");
    EXPECT_FALSE(IsReadOnly(target));
    EXPECT_FALSE(std::filesystem::exists(StagingPath(target)));
  }
}

TEST(ReplaceFileAtomically, HoldPastTheBoundFailsDeletesStagingAndKeepsTarget) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"QuorvantisSupportHost.exe";
  WriteBinaryFile(target, "old host");
  {
    // Held open like a running program or a reader: sharing read and write, but not delete.
    HANDLE raw = ::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    const ScopedFileHandle holder(raw);
    EXPECT_EQ(SentenceOf([&] { ReplaceFileAtomically(target, View("new host"), kSentences); }),
              "The update package could not be activated.");
    EXPECT_FALSE(std::filesystem::exists(StagingPath(target)));
  }
  EXPECT_EQ(ReadBinaryFile(target), "old host");
}

TEST(ReplaceFileAtomically, FailedRenameOverFolderDeletesStaging) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.path() / L"stable.manifest";
  WriteBinaryFile(target / L"inside.txt", "kept");
  EXPECT_EQ(SentenceOf([&] { ReplaceFileAtomically(target, View("descriptor"), kSentences); }),
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
  EXPECT_EQ(SentenceOf([&] { ReplaceFileAtomically(target, View("2.0"), kSentences); }),
            "The update package could not be stored.");
  EXPECT_EQ(ReadBinaryFile(target), "1.0");
  EXPECT_TRUE(std::filesystem::is_directory(StagingPath(target)));
}

TEST(ReplaceFileAtomically, ParentBlockedByFileRaisesFilesystemError) {
  ScratchFolder folder;
  WriteBinaryFile(folder.path() / L"versions", "a file where a folder belongs");
  const std::filesystem::path target = folder.path() / L"versions" / L"1.0" / L"QuorvantisSupportHost.exe";
  EXPECT_THROW(ReplaceFileAtomically(target, View("host"), kSentences), std::filesystem::filesystem_error);
  EXPECT_EQ(ReadBinaryFile(folder.path() / L"versions"), "a file where a folder belongs");
}

}  // namespace
}  // namespace qvs
