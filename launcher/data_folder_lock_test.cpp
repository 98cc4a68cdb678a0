#include "launcher/data_folder_lock.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace qvs {
namespace {

// The mutex belongs to a thread, so a second thread stands in for a second launcher.
TEST(DataFolderLockTest, WaitsItsBoundThenGoesOnAloneAndPassesTheTurnToAWaitingLauncher) {
  std::atomic<int> step{0};
  std::thread other([&step] {
    DataFolderLock first;
    ASSERT_TRUE(first.held());
    step = 1;
    while (step != 2) {
      ::Sleep(1);
    }
    // Until the waiting launcher has had its turn and given it back.
    while (step != 3) {
      ASSERT_TRUE(first.PassTurn());
    }
    EXPECT_TRUE(first.held());
  });
  while (step != 1) {
    ::Sleep(1);
  }
  {
    const ULONGLONG begin = ::GetTickCount64();
    DataFolderLock late(200);
    EXPECT_FALSE(late.held());
    EXPECT_GE(::GetTickCount64() - begin, 150u);
    EXPECT_FALSE(late.PassTurn());
  }
  step = 2;
  {
    DataFolderLock waiting;
    EXPECT_TRUE(waiting.held());
    step = 3;
  }
  other.join();
}

}  // namespace
}  // namespace qvs
