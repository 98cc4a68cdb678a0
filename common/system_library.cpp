#include "common/system_library.h"

namespace qvs {

SystemLibrary::SystemLibrary(const wchar_t* name) noexcept
    : module_(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
  // The load's reference is never given back; the pin, taken by address so that it is the System32
  // copy just loaded, also outlasts a FreeLibrary elsewhere that does not balance a load.
  if (module_ != nullptr) {
    HMODULE pinned = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(module_), &pinned);
  }
}

}  // namespace qvs
