#pragma once

#include <windows.h>

#include "common/scope_guard.h"

namespace qvs {

using CloseHandleRelease = ReleaseWith<::CloseHandle>;

// CreateFileW reports failure with INVALID_HANDLE_VALUE, not null.
struct InvalidHandleValue {
  static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
};

// A file handle from CreateFileW, closed when it goes out of scope.
using ScopedFileHandle = ScopedHandle<HANDLE, CloseHandleRelease, InvalidHandleValue>;

// A kernel object handle that is null when absent (a process, an event, a mutex).
using ScopedKernelHandle = ScopedHandle<HANDLE, CloseHandleRelease>;

}  // namespace qvs
