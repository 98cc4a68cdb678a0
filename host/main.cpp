// The sample support host: records how it was started and exits. It has no window and no
// console; the demo publishes it and the end-to-end tests read what it records.
#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "common/kernel_handle.h"
#include "common/scope_guard.h"
#include "host/start_record.h"

namespace {

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      return {};
    }
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);  // truncated: try a larger buffer
  }
}

std::wstring CurrentDirectory() {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  std::wstring directory(needed, L'\0');
  const DWORD length = GetCurrentDirectoryW(needed, directory.data());
  directory.resize(length < needed ? length : 0);
  return directory;
}

std::filesystem::path LogFile() {
  qvs::ScopedHandle<PWSTR, qvs::ReleaseWith<CoTaskMemFree>> folder;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, folder.receive()))) {
    return {};
  }
  return std::filesystem::path(folder.get()) / L"Quorvantis Software" / L"QVS Support Host" / L"starts.log";
}

// One WriteFile of the whole line in append mode, so lines of hosts started together never mix.
bool AppendLine(const std::filesystem::path& file, const std::string& line) {
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  if (error) {
    return false;
  }
  const qvs::ScopedFileHandle handle(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) {
    return false;
  }
  DWORD written = 0;
  return WriteFile(handle.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::filesystem::path file = LogFile();
  if (file.empty()) {
    return 1;
  }
  const std::string line = qvs::FormatStartRecord(ModulePath(), GetCommandLineW(), CurrentDirectory());
  return AppendLine(file, line) ? 0 : 1;
}
