// Test helper: writes "<path of this program>.started" holding the number of arguments it got,
// through a rename so that a reader never sees a partial marker.

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char**) {
  std::vector<wchar_t> buffer(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) {
    return 1;
  }
  const std::wstring self(buffer.data(), length);
  const std::wstring partial = self + L".partial";
  {
    std::ofstream marker(std::filesystem::path(partial), std::ios::binary | std::ios::trunc);
    marker << "arguments=" << (argc - 1);
    if (!marker.flush()) {
      return 1;
    }
  }
  return ::MoveFileExW(partial.c_str(), (self + L".started").c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
