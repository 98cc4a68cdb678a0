#include "store/release_file.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "common/kernel_handle.h"
#include "common/launcher_failure.h"
#include "tests/support/failure_sentence.h"
#include "tests/support/test_files.h"

namespace qvs {
namespace {

namespace fs = std::filesystem;

constexpr char kCouldNotOpen[] = "A release file could not be opened.";
constexpr char kInvalidSize[] = "A release file has an invalid size.";

using qvs::testing::SentenceOf;

// Bytes that differ from position to position, so that a shifted or partial read shows.
ByteBuffer Pattern(std::size_t size) {
  ByteBuffer bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 256) & 0xFF);
  }
  return bytes;
}

class ReadReleaseFileTest : public ::testing::Test {
 protected:
  fs::path Write(const fs::path& name, const ByteBuffer& bytes) {
    const fs::path path = folder_ / name;
    testing::WriteBytes(path, bytes);
    EXPECT_EQ(fs::file_size(path), bytes.size());
    return path;
  }

  testing::ScratchFolder folder_;
};

// The launcher's three limits: a file of exactly the limit is returned whole, one byte more is
// refused before anything is read.
TEST_F(ReadReleaseFileTest, LimitIsInclusive) {
  for (const std::uint64_t limit : {64u, 4096u, 16777216u}) {
    const ByteBuffer exact = Pattern(static_cast<std::size_t>(limit));
    EXPECT_EQ(ReadReleaseFile(Write("exact.bin", exact), limit), exact) << limit;

    const ByteBuffer over = Pattern(static_cast<std::size_t>(limit + 1));
    const fs::path over_path = Write("over.bin", over);
    EXPECT_EQ(SentenceOf([&] { ReadReleaseFile(over_path, limit); }), kInvalidSize) << limit;
  }
}

TEST_F(ReadReleaseFileTest, SmallerFileIsReturnedWhole) {
  const ByteBuffer bytes = Pattern(1000);
  EXPECT_EQ(ReadReleaseFile(Write("small.bin", bytes), 4096), bytes);
}

// The limit is an unsigned 64-bit count: the largest one must not turn into a negative bound.
TEST_F(ReadReleaseFileTest, LargestLimitAcceptsAnyFile) {
  const ByteBuffer bytes = Pattern(10);
  EXPECT_EQ(ReadReleaseFile(Write("file.bin", bytes), UINT64_MAX), bytes);
}

TEST_F(ReadReleaseFileTest, EmptyFileGivesEmptyBuffer) {
  const fs::path path = Write("empty.bin", {});
  EXPECT_TRUE(ReadReleaseFile(path, 64).empty());
  EXPECT_TRUE(ReadReleaseFile(path, 0).empty());
}

TEST_F(ReadReleaseFileTest, LimitZeroRefusesOneByte) {
  const fs::path path = Write("one.bin", {0x41});
  EXPECT_EQ(SentenceOf([&] { ReadReleaseFile(path, 0); }), kInvalidSize);
}

// Binary reading: no CR LF translation, no stop at Ctrl-Z (0x1A) or at a NUL byte.
TEST_F(ReadReleaseFileTest, BytesComeBackUnchanged) {
  const ByteBuffer tricky = {0x0D, 0x0A, 0x1A, 0x00, 'a', 0x0A, 0x0D, 0x0D, 0x0A, 0x1A, 0xFF, 0x00};
  EXPECT_EQ(ReadReleaseFile(Write("tricky.bin", tricky), 64), tricky);

  ByteBuffer every_byte(256);
  for (int i = 0; i < 256; ++i) {
    every_byte[i] = static_cast<std::uint8_t>(i);
  }
  EXPECT_EQ(ReadReleaseFile(Write("every-byte.bin", every_byte), 4096), every_byte);
}

TEST_F(ReadReleaseFileTest, MissingFileCannotBeOpened) {
  EXPECT_EQ(SentenceOf([&] { ReadReleaseFile(folder_ / "missing.bin", 4096); }), kCouldNotOpen);
  EXPECT_EQ(SentenceOf([&] { ReadReleaseFile(folder_ / "no-such-folder" / "stable.manifest", 4096); }), kCouldNotOpen);
}

TEST_F(ReadReleaseFileTest, FolderCannotBeOpened) {
  fs::create_directories(folder_ / "stable.manifest");
  EXPECT_EQ(SentenceOf([&] { ReadReleaseFile(folder_ / "stable.manifest", 4096); }), kCouldNotOpen);
}

// Data folders lie under the user's profile, whose name may hold any character.
TEST_F(ReadReleaseFileTest, ReadsPathWithNonAsciiCharacters) {
  const ByteBuffer bytes = Pattern(100);
  const fs::path name = L"J\u00F6rg-\u65E5\u672C-\U0001F600.bin";
  EXPECT_EQ(ReadReleaseFile(Write(name, bytes), 4096), bytes);
}

// Another program (a scanner, an indexer) may have the file open for reading and writing.
TEST_F(ReadReleaseFileTest, ReadsFileThatIsOpenElsewhere) {
  const ByteBuffer bytes = Pattern(300);
  const fs::path path = Write("open.bin", bytes);
  ScopedFileHandle other(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_NE(other.get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadReleaseFile(path, 4096), bytes);
}

}  // namespace
}  // namespace qvs
