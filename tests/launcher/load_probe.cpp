// Loads "bcrypt.dll" with the default search order, as an unprotected program would.
#include <windows.h>

#include "common/system_library.h"

int main() {
  const HMODULE module = ::LoadLibraryW(L"bcrypt.dll");
  if (module == nullptr) {
    return 1;
  }
  const qvs::ScopedHandle<HMODULE, qvs::FreeLibraryRelease> guard(module);
  return 0;
}
