// read-shortcut.exe LNK: prints the shell link's properties, read back through IShellLinkW, one
// "name=value" line each (UTF-8); exit 1 when the link cannot be loaded.
#include <windows.h>

#include <cstdio>

#include "common/com_apartment.h"
#include "common/utf8.h"
#include "install/shortcut.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: read-shortcut LNK\n", stderr);
    return 2;
  }
  const qvs::ComApartment com;
  const auto properties = qvs::ReadShortcut(argv[1]);
  if (!properties) {
    return 1;
  }
  std::printf("target=%s\narguments=%s\nworking_directory=%s\ndescription=%s\nicon_path=%s\nicon_index=%d\n",
              qvs::ToUtf8(properties->target).c_str(), qvs::ToUtf8(properties->arguments).c_str(),
              qvs::ToUtf8(properties->working_directory).c_str(), qvs::ToUtf8(properties->description).c_str(),
              qvs::ToUtf8(properties->icon_path).c_str(), properties->icon_index);
  return 0;
}
