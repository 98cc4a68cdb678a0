#pragma once

// Test support: a saved shell link's properties, read back through IShellLinkW.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/com_ptr.h"

namespace qvs::testing {

struct ShortcutProperties {
  std::wstring target;
  std::wstring arguments;
  std::wstring working_directory;
  std::wstring description;
  std::wstring icon_path;
  int icon_index = -1;
};

// Empty when the link cannot be loaded.
inline std::optional<ShortcutProperties> ReadShortcut(const std::filesystem::path& shortcut_path) {
  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.receive())))) {
    return std::nullopt;
  }
  ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.receive()))) ||
      FAILED(file->Load(shortcut_path.c_str(), STGM_READ))) {
    return std::nullopt;
  }
  std::vector<wchar_t> text(32768, L'\0');
  const int capacity = static_cast<int>(text.size());
  ShortcutProperties properties;
  if (SUCCEEDED(link->GetPath(text.data(), capacity, nullptr, SLGP_RAWPATH))) {
    properties.target = text.data();
  }
  text.assign(text.size(), L'\0');
  if (SUCCEEDED(link->GetArguments(text.data(), capacity))) {
    properties.arguments = text.data();
  }
  text.assign(text.size(), L'\0');
  if (SUCCEEDED(link->GetWorkingDirectory(text.data(), capacity))) {
    properties.working_directory = text.data();
  }
  text.assign(text.size(), L'\0');
  if (SUCCEEDED(link->GetDescription(text.data(), capacity))) {
    properties.description = text.data();
  }
  text.assign(text.size(), L'\0');
  if (SUCCEEDED(link->GetIconLocation(text.data(), capacity, &properties.icon_index))) {
    properties.icon_path = text.data();
  }
  return properties;
}

}  // namespace qvs::testing
