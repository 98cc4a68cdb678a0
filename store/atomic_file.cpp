#include "store/atomic_file.h"

#include <windows.h>

#include <fstream>

#include "common/launcher_failure.h"
#include "common/scope_guard.h"

namespace qvs {
namespace {

struct CloseHandleRelease {
  void operator()(HANDLE handle) const noexcept { ::CloseHandle(handle); }
};

// Values of INVALID_HANDLE_VALUE are turned into the empty handle before they reach the guard.
using ScopedFileHandle = ScopedHandle<HANDLE, CloseHandleRelease>;

void WriteStagingFile(const std::filesystem::path& staging, ByteView bytes) {
  std::ofstream stream(staging, std::ios::binary | std::ios::trunc);
  if (!stream) {
    throw LauncherFailure("The update package could not be stored.");
  }
  if (!bytes.empty()) {
    stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!stream) {
      throw LauncherFailure("The update package could not be stored.");
    }
  }
  stream.flush();
  if (!stream) {
    throw LauncherFailure("The update package could not be flushed.");
  }
}

}  // namespace

// The stream's flush only hands the bytes to the system; without this a power cut after the
// write-through rename could leave the target renamed but its data never written.
void ForceToDisk(const std::filesystem::path& staging, const char* failure_sentence) {
  HANDLE raw = ::CreateFileW(staging.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  const ScopedFileHandle file(raw == INVALID_HANDLE_VALUE ? nullptr : raw);
  if (!file || !::FlushFileBuffers(file.get())) {
    throw LauncherFailure(failure_sentence);
  }
}

bool IsHeldOpenElsewhere(const std::filesystem::path& file) {
  HANDLE raw = ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = ::GetLastError();
  const ScopedFileHandle opened(raw == INVALID_HANDLE_VALUE ? nullptr : raw);
  return !opened && error == ERROR_SHARING_VIOLATION;
}

std::filesystem::path StagingPath(const std::filesystem::path& target) {
  return std::filesystem::path(target.native() + L".new");
}

void ReplaceFileAtomically(const std::filesystem::path& target, ByteView bytes) {
  const std::filesystem::path parent = target.parent_path();
  if (!parent.empty()) {
    std::filesystem::create_directories(parent);
  }
  const std::filesystem::path staging = StagingPath(target);
  WriteStagingFile(staging, bytes);
  ForceToDisk(staging, "The update package could not be flushed.");
  if (!::MoveFileExW(staging.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    std::filesystem::remove(staging);
    throw LauncherFailure("The update package could not be activated.");
  }
}

}  // namespace qvs
