#include "install/shortcut.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <optional>
#include <system_error>
#include <vector>

#include "common/com_ptr.h"
#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "files/atomic_file.h"

namespace qvs {
namespace {

// The link's bytes as the shell writes them into a .lnk file, taken from a memory stream so that
// the file can be replaced whole like every other file the launcher writes.
std::optional<ByteBuffer> SaveToMemory(IShellLinkW* link) {
  ComPtr<IPersistStream> persist;
  ComPtr<IStream> stream;
  if (FAILED(link->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(persist.receive()))) || !persist ||
      FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, stream.receive())) || !stream ||
      FAILED(persist->Save(stream.get(), TRUE))) {
    return std::nullopt;
  }
  STATSTG status{};
  LARGE_INTEGER start{};
  if (FAILED(stream->Stat(&status, STATFLAG_NONAME)) || status.cbSize.QuadPart == 0 || status.cbSize.HighPart != 0 ||
      FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) {
    return std::nullopt;
  }
  ByteBuffer bytes(status.cbSize.LowPart);
  ULONG read = 0;
  if (FAILED(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read)) || read != bytes.size()) {
    return std::nullopt;
  }
  return bytes;
}

// One text property of a link, read into a buffer of the longest length the shell uses.
template <typename Get>
std::wstring TextOf(Get get) {
  std::vector<wchar_t> text(32768, L'\0');
  if (FAILED(get(text.data(), static_cast<int>(text.size())))) {
    return {};
  }
  text.back() = L'\0';
  return text.data();
}

}  // namespace

ShortcutProperties LauncherShortcut(const std::filesystem::path& target) {
  return {.target = target.native(),
          .arguments = {},
          .working_directory = {},
          .description = kShortcutDescription,
          .icon_path = target.native(),
          .icon_index = 0};
}

std::optional<ShortcutProperties> ReadShortcut(const std::filesystem::path& shortcut_path) {
  ComPtr<IShellLinkW> link;
  ComPtr<IPersistFile> file;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.receive()))) ||
      !link || FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.receive()))) || !file ||
      FAILED(file->Load(shortcut_path.c_str(), STGM_READ))) {
    return std::nullopt;
  }
  ShortcutProperties properties;
  // The path as stored, environment strings unexpanded, never resolved against the file system.
  properties.target =
      TextOf([&](wchar_t* text, int capacity) { return link->GetPath(text, capacity, nullptr, SLGP_RAWPATH); });
  properties.arguments = TextOf([&](wchar_t* text, int capacity) { return link->GetArguments(text, capacity); });
  properties.working_directory =
      TextOf([&](wchar_t* text, int capacity) { return link->GetWorkingDirectory(text, capacity); });
  properties.description = TextOf([&](wchar_t* text, int capacity) { return link->GetDescription(text, capacity); });
  properties.icon_path = TextOf(
      [&](wchar_t* text, int capacity) { return link->GetIconLocation(text, capacity, &properties.icon_index); });
  return properties;
}

void WriteShortcut(const std::filesystem::path& shortcut_path, const std::filesystem::path& target) {
  // A folder that cannot be created (a read-only or unavailable redirected Start Menu) leaves the
  // shortcut unwritten like any other shortcut problem: the run goes on to start the host.
  std::error_code folder_error;
  std::filesystem::create_directories(shortcut_path.parent_path(), folder_error);
  if (folder_error) {
    return;
  }
  const ShortcutProperties wanted = LauncherShortcut(target);
  if (ReadShortcut(shortcut_path) == wanted) {
    return;
  }

  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.receive()))) ||
      !link) {
    return;
  }
  // A shortcut with a missing property is still better than none, so results are not examined.
  link->SetPath(wanted.target.c_str());
  link->SetDescription(wanted.description.c_str());
  link->SetIconLocation(wanted.icon_path.c_str(), wanted.icon_index);

  const std::optional<ByteBuffer> bytes = SaveToMemory(link.get());
  if (!bytes) {
    return;
  }
  // A shortcut that cannot be saved is left as it was, without a report and without a staging
  // file; a kill in between leaves the old shortcut or the new one, never an empty file.
  try {
    ReplaceFileAtomically(shortcut_path, *bytes, {kInstallFailed, kInstallFailed, kInstallFailed});
  } catch (const LauncherFailure&) {
  } catch (const std::filesystem::filesystem_error&) {
  }
}

}  // namespace qvs
