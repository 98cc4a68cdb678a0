#pragma once

#include <windows.h>

#include "common/kernel_handle.h"

namespace qvs {

// Launchers of one user started together (a double-click, a second click while the first start
// still downloads) take turns with the data folder: the installed copy, the shortcuts and the
// release store. The turn is a named mutex in the session's namespace; a launcher waits for it a
// bounded time and, when the time is up or the mutex cannot be had at all, goes on alone as a
// single launcher does. Whoever holds it never waits for another launcher, so none waits in vain.
// Waiting keeps dispatching the thread's messages.
class DataFolderLock {
 public:
  static constexpr DWORD kDefaultWaitMilliseconds = 60000;

  // Waits until the turn is this launcher's, or until `wait_milliseconds` have passed.
  explicit DataFolderLock(DWORD wait_milliseconds = kDefaultWaitMilliseconds);
  ~DataFolderLock();
  DataFolderLock(const DataFolderLock&) = delete;
  DataFolderLock& operator=(const DataFolderLock&) = delete;

  bool held() const noexcept { return held_; }

  // Lets the others have a turn, for a launcher that waits for one of them to end (an installed
  // copy that another launcher still runs cannot be replaced): releases the turn, pauses, and
  // waits for it again until the wait that began at construction is over. True when it is held
  // again; false, and not held, when it was not held or the time is up.
  bool PassTurn();

 private:
  bool Wait(DWORD milliseconds) noexcept;
  void Release() noexcept;

  ScopedKernelHandle mutex_;
  ScopedKernelHandle pause_;  // never set: PassTurn's pause waits on it
  ULONGLONG deadline_ = 0;
  bool held_ = false;
};

}  // namespace qvs
