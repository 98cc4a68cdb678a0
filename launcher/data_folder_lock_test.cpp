#include "launcher/data_folder_lock.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/com_apartment.h"

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

// A launcher waiting its turn in its apartment still takes the messages other programs send to
// its windows (the shell's broadcasts): the holder gives the turn back only once its message was
// handled, or after 3 s when the wait blocks the thread.
TEST(DataFolderLockTest, AWaitingLauncherKeepsDispatchingItsMessages) {
  const ComApartment com;
  static std::atomic<bool> handled;
  handled = false;
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = [](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
    if (message == WM_APP) {
      handled = true;
      return 1;
    }
    return ::DefWindowProcW(window, message, w, l);
  };
  window_class.hInstance = ::GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"QvsDataFolderLockTest";
  ASSERT_NE(::RegisterClassW(&window_class), 0);
  const HWND window = ::CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        window_class.hInstance, nullptr);
  ASSERT_NE(window, nullptr);

  std::atomic<bool> holding{false};
  std::thread holder([&] {
    DataFolderLock first;
    ASSERT_TRUE(first.held());
    holding = true;
    DWORD_PTR answer = 0;
    ::SendMessageTimeoutW(window, WM_APP, 0, 0, SMTO_BLOCK, 3000, &answer);
  });
  while (!holding) {
    ::Sleep(1);
  }
  DataFolderLock waiting(10000);
  EXPECT_TRUE(waiting.held());
  EXPECT_TRUE(handled) << "the message waited for the turn";
  holder.join();
  ::DestroyWindow(window);
  ::UnregisterClassW(window_class.lpszClassName, window_class.hInstance);
}

}  // namespace
}  // namespace qvs
