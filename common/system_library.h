#pragma once

#include <windows.h>

#include "common/scope_guard.h"

namespace qvs {

using FreeLibraryRelease = ReleaseWith<::FreeLibrary>;

// A DLL loaded from System32 only, never from the application's folder, so that a DLL planted
// beside a downloaded launcher is never loaded. The import table therefore names only
// KnownDLLs; everything else is reached through this class.
class SystemLibrary {
 public:
  explicit SystemLibrary(const wchar_t* name) noexcept;

  bool loaded() const noexcept { return static_cast<bool>(module_); }

  // The function `name` with the type of its declaration, e.g.
  // Find<decltype(::BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider"); null if absent.
  template <typename Function>
  Function* Find(const char* name) const noexcept {
    if (!module_) {
      return nullptr;
    }
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(module_.get(), name)));
  }

 private:
  ScopedHandle<HMODULE, FreeLibraryRelease> module_;
};

}  // namespace qvs
