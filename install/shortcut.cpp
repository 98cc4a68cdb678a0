#include "install/shortcut.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <optional>
#include <system_error>

#include "common/com_ptr.h"
#include "common/launcher_failure.h"
#include "store/files/atomic_file.h"

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

}  // namespace

void WriteShortcut(const std::filesystem::path& shortcut_path, const std::filesystem::path& target) {
  // A folder that cannot be created (a read-only or unavailable redirected Start Menu) leaves the
  // shortcut unwritten like any other shortcut problem: the run goes on to start the host.
  std::error_code folder_error;
  std::filesystem::create_directories(shortcut_path.parent_path(), folder_error);
  if (folder_error) {
    return;
  }

  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.receive()))) ||
      !link) {
    return;
  }
  // A shortcut with a missing property is still better than none, so results are not examined.
  link->SetPath(target.c_str());
  link->SetDescription(kShortcutDescription);
  link->SetIconLocation(target.c_str(), 0);

  const std::optional<ByteBuffer> bytes = SaveToMemory(link.get());
  if (!bytes) {
    return;
  }
  // A shortcut that cannot be saved is left as it was, without a report and without a staging
  // file; a kill in between leaves the old shortcut or the new one, never an empty file.
  try {
    ReplaceFileAtomically(shortcut_path, *bytes);
  } catch (const LauncherFailure&) {
  } catch (const std::filesystem::filesystem_error&) {
  }
}

}  // namespace qvs
