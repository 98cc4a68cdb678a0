#include "launcher/data_folder_lock.h"

namespace qvs {
namespace {

// Per session: a user's launchers run in the session they were started in. A mutex of another
// user of the same session cannot be opened; that launcher then goes on alone.
constexpr wchar_t kMutexName[] = L"Local\\QuorvantisSupport.DataFolder";

// Long enough for another launcher's installed copy to exit or take its own turn.
constexpr DWORD kPauseMilliseconds = 100;

}  // namespace

DataFolderLock::DataFolderLock(DWORD wait_milliseconds)
    : mutex_(::CreateMutexW(nullptr, FALSE, kMutexName)), deadline_(::GetTickCount64() + wait_milliseconds) {
  held_ = Wait(wait_milliseconds);
}

DataFolderLock::~DataFolderLock() { Release(); }

bool DataFolderLock::Wait(DWORD milliseconds) noexcept {
  if (!mutex_) {
    return false;
  }
  // An abandoned turn (a launcher killed while it held it) is this launcher's: every file in the
  // data folder is replaced whole, so what the killed one left is as usable as after a failure.
  const DWORD result = ::WaitForSingleObject(mutex_.get(), milliseconds);
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
  ::Sleep(kPauseMilliseconds);
  const ULONGLONG now = ::GetTickCount64();
  if (now >= deadline_) {
    return false;
  }
  held_ = Wait(static_cast<DWORD>(deadline_ - now));
  return held_;
}

}  // namespace qvs
