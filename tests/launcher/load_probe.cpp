// load_probe.exe [DLL]: loads the DLL (default "bcrypt.dll") with the default search order, as an
// unprotected program would.
#include <windows.h>

#include "common/scope_guard.h"

int wmain(int argc, wchar_t** argv) {
  const HMODULE module = ::LoadLibraryW(argc > 1 ? argv[1] : L"bcrypt.dll");
  if (module == nullptr) {
    return 1;
  }
  const qvs::ScopedHandle<HMODULE, qvs::ReleaseWith<::FreeLibrary>> guard(module);
  return 0;
}
