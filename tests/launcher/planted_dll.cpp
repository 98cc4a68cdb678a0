// A planted system DLL ("bcrypt.dll", "winhttp.dll", "crypt32.dll"): records that some process loaded it by
// creating the marker file "planted-<name>-loaded.txt" beside it.
#include <windows.h>

#include <string>

#include "common/kernel_handle.h"

namespace {

void LeaveMarker(HINSTANCE instance) {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = ::GetModuleFileNameW(instance, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) {
    return;
  }
  path.resize(length);
  const std::size_t name_start = path.rfind(L'\\') + 1;
  std::wstring name = path.substr(name_start);
  name = name.substr(0, name.rfind(L'.'));
  path.replace(name_start, std::wstring::npos, L"planted-" + name + L"-loaded.txt");
  const qvs::ScopedFileHandle marker(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    LeaveMarker(instance);
  }
  return TRUE;
}
