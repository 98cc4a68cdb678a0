#include "install/shortcut.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "common/com_ptr.h"

namespace qvs {

void WriteShortcut(const std::filesystem::path& shortcut_path, const std::filesystem::path& target) {
  std::filesystem::create_directories(shortcut_path.parent_path());

  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.receive()))) ||
      !link) {
    return;
  }
  // A shortcut with a missing property is still better than none, so results are not examined.
  link.get()->SetPath(target.c_str());
  link.get()->SetDescription(kShortcutDescription);
  link.get()->SetIconLocation(target.c_str(), 0);

  ComPtr<IPersistFile> file;
  if (SUCCEEDED(link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.receive()))) && file) {
    file.get()->Save(shortcut_path.c_str(), TRUE);
  }
}

}  // namespace qvs
