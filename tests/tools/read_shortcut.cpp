// read-shortcut.exe LNK: prints the shell link's properties, read back through IShellLinkW, one
// "name=value" line each (UTF-8); exit 1 when the link cannot be loaded.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "install/shortcut_properties.h"

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) {
    return {};
  }
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length, nullptr, nullptr);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: read-shortcut LNK\n", stderr);
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int status = 1;
  {
    const auto properties = qvs::testing::ReadShortcut(argv[1]);
    if (properties) {
      std::printf("target=%s\narguments=%s\nworking_directory=%s\ndescription=%s\nicon_path=%s\nicon_index=%d\n",
                  Utf8(properties->target).c_str(), Utf8(properties->arguments).c_str(),
                  Utf8(properties->working_directory).c_str(), Utf8(properties->description).c_str(),
                  Utf8(properties->icon_path).c_str(), properties->icon_index);
      status = 0;
    }
  }
  CoUninitialize();
  return status;
}
