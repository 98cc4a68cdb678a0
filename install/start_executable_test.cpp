#include "install/start_executable.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/com_apartment.h"
#include "files/launcher_path.h"
#include "tests/support/failure_sentence.h"
#include "tests/support/test_files.h"

namespace qvs {
namespace {

using testing::ReadBinaryFile;
using testing::ScratchFolder;
using testing::SentenceOf;

class StartExecutableTest : public ::testing::Test {
 protected:
  ComApartment com_;
};

TEST_F(StartExecutableTest, MissingFileRaisesTheSentence) {
  ScratchFolder folder;
  EXPECT_EQ(SentenceOf([&] { StartExecutable(folder.path() / L"no such host.exe"); }),
            "The attended support host could not be started.");
}

TEST_F(StartExecutableTest, StartsProgramInFolderWithSpacesWithoutArguments) {
  ScratchFolder folder;
  const std::filesystem::path helper = GetLauncherPath().parent_path() / L"start_marker_helper.exe";
  const std::filesystem::path started = folder.path() / L"folder with spaces" / L"support host.exe";
  std::filesystem::create_directories(started.parent_path());
  std::filesystem::copy_file(helper, started);

  StartExecutable(started);

  // The shell does not wait for the program; this only bounds a wait for one that never ran.
  const std::filesystem::path marker = started.native() + L".started";
  for (int attempt = 0; attempt < 1200 && !std::filesystem::exists(marker); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(ReadBinaryFile(marker), "arguments=0");
}

}  // namespace
}  // namespace qvs
