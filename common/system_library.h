#pragma once

#include <windows.h>

namespace qvs {

// A DLL loaded from System32 only, never from the application's folder, so that a DLL planted
// beside a downloaded launcher is never loaded. The import table therefore names only
// KnownDLLs; everything else is reached through this class.
//
// The library is pinned: it stays loaded until the process ends, whatever FreeLibrary calls
// follow. WinHTTP's pool threads may still run while static objects are destroyed at exit; a
// library freed under them would crash the launcher after its work is done.
class SystemLibrary {
 public:
  explicit SystemLibrary(const wchar_t* name) noexcept;
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  bool loaded() const noexcept { return module_ != nullptr; }

  // The function `name` with the type of its declaration, e.g.
  // Find<decltype(::BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider"); null if absent.
  template <typename Function>
  Function* Find(const char* name) const noexcept {
    if (!module_) {
      return nullptr;
    }
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(module_, name)));
  }

 private:
  // Pinned, so there is nothing to release: the process owns it to its end.
  HMODULE module_ = nullptr;
};

}  // namespace qvs
