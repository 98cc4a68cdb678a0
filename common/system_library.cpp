#include "common/system_library.h"

namespace qvs {

SystemLibrary::SystemLibrary(const wchar_t* name) noexcept
    : module_(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {}

}  // namespace qvs
