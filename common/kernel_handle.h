#pragma once

#include <windows.h>

#include <cstdint>

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

// A region of address space from VirtualAlloc, released whole.
struct VirtualFreeRelease {
  void operator()(void* region) const noexcept { ::VirtualFree(region, 0, MEM_RELEASE); }
};
using ScopedVirtualRegion = ScopedHandle<std::uint8_t*, VirtualFreeRelease>;

}  // namespace qvs
