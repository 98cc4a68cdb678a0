#include "launcher/data_folder_lock.h"

#include <objbase.h>

namespace qvs {
namespace {

// Per session: a user's launchers run in the session they were started in. A mutex of another
// user of the same session cannot be opened; that launcher then goes on alone.
constexpr wchar_t kMutexName[] = L"Local\\QuorvantisSupport.DataFolder";

// Long enough for another launcher's installed copy to exit or take its own turn.
constexpr DWORD kPauseMilliseconds = 100;

// Waits for `handle` without blocking the thread's apartment: in the launcher's single-threaded
// apartment, COM's modal loop keeps dispatching messages, so programs that broadcast to every
// top-level window (the shell, installers) are not held up by a launcher waiting its turn. A
// thread without COM waits plainly.
DWORD WaitDispatching(HANDLE handle, DWORD milliseconds) noexcept {
  DWORD index = 0;
  ::SetLastError(ERROR_SUCCESS);
  const HRESULT result = ::CoWaitForMultipleHandles(0, milliseconds, 1, &handle, &index);
  if (result == S_OK) {
    return index;
  }
  if (result == RPC_S_CALLPENDING) {
    return WAIT_TIMEOUT;
  }
  return ::WaitForSingleObject(handle, milliseconds);
}

}  // namespace

DataFolderLock::DataFolderLock(DWORD wait_milliseconds)
    : mutex_(::CreateMutexW(nullptr, FALSE, kMutexName)),
      pause_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      deadline_(::GetTickCount64() + wait_milliseconds) {
  held_ = Wait(wait_milliseconds);
}

DataFolderLock::~DataFolderLock() { Release(); }

bool DataFolderLock::Wait(DWORD milliseconds) noexcept {
  if (!mutex_) {
    return false;
  }
  // An abandoned turn (a launcher killed while it held it) is this launcher's: every file in the
  // data folder is replaced whole, so what the killed one left is as usable as after a failure.
  const DWORD result = WaitDispatching(mutex_.get(), milliseconds);
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void DataFolderLock::Release() noexcept {
  if (held_) {
    ::ReleaseMutex(mutex_.get());
    held_ = false;
  }
}

bool DataFolderLock::PassTurn() {
  if (!held_) {
    return false;
  }
  Release();
  // The pause is a wait for an event that is never set, so that it dispatches as the wait does.
  if (pause_) {
    WaitDispatching(pause_.get(), kPauseMilliseconds);
  } else {
    ::Sleep(kPauseMilliseconds);
  }
  const ULONGLONG now = ::GetTickCount64();
  if (now >= deadline_) {
    return false;
  }
  held_ = Wait(static_cast<DWORD>(deadline_ - now));
  return held_;
}

}  // namespace qvs
