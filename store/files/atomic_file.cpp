#include "store/files/atomic_file.h"

#include <windows.h>

#include <algorithm>

#include "common/launcher_failure.h"

namespace qvs {
namespace {

constexpr char kNotStored[] = "The update package could not be stored.";

ScopedFileHandle OpenFile(const std::filesystem::path& file, DWORD share, DWORD disposition) {
  return ScopedFileHandle(
      ::CreateFileW(file.c_str(), GENERIC_WRITE, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Creates or empties the staging file and writes the bytes through the same handle.
ScopedFileHandle WriteStagingFile(const std::filesystem::path& staging, ByteView bytes) {
  ScopedFileHandle file = OpenFile(staging, FILE_SHARE_READ, CREATE_ALWAYS);
  if (!file) {
    throw LauncherFailure(kNotStored);
  }
  // WriteFile takes at most 4 GiB less one byte per call.
  constexpr std::size_t kLargestWrite = 0x7fffffff;
  for (std::size_t offset = 0; offset < bytes.size();) {
    const DWORD wanted = static_cast<DWORD>(std::min(bytes.size() - offset, kLargestWrite));
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data() + offset, wanted, &written, nullptr) || written == 0) {
      throw LauncherFailure(kNotStored);
    }
    offset += written;
  }
  return file;
}

// Whether another program holds `file` open so that it cannot be written or replaced now (Windows
// refuses to open a running program for writing), as opposed to a target that can never be
// replaced, such as a folder.
bool IsHeldOpenElsewhere(const std::filesystem::path& file) {
  const ScopedFileHandle opened = OpenFile(file, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
  return !opened && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace

ScopedFileHandle OpenForWriting(const std::filesystem::path& file, const char* failure_sentence) {
  ScopedFileHandle opened = OpenFile(file, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  if (!opened) {
    throw LauncherFailure(failure_sentence);
  }
  return opened;
}

std::filesystem::path StagingPath(const std::filesystem::path& target) {
  return std::filesystem::path(target.native() + L".new");
}

void ReplaceThroughStaging(const std::filesystem::path& target, const FillStagingFile& fill, const Replacement& how) {
  const std::filesystem::path parent = target.parent_path();
  if (!parent.empty()) {
    std::filesystem::create_directories(parent);
  }
  const std::filesystem::path staging = StagingPath(target);
  for (;;) {
    {
      // Filled afresh on every attempt: while this run waited, another may have used the staging
      // file for its own replacement.
      const ScopedFileHandle file = fill(staging);
      // Writing only hands the bytes to the system; without this a power cut after the
      // write-through rename could leave the target renamed but its data never written.
      if (!::FlushFileBuffers(file.get())) {
        throw LauncherFailure(how.not_flushed);
      }
    }
    if (::MoveFileExW(staging.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return;
    }
    if (!how.wait_when_held_open || !IsHeldOpenElsewhere(target) || !how.wait_when_held_open()) {
      break;
    }
  }
  if (!how.keep_staging_after_failed_move) {
    std::filesystem::remove(staging);
  }
  throw LauncherFailure(how.not_moved);
}

void ReplaceFileAtomically(const std::filesystem::path& target, ByteView bytes) {
  ReplaceThroughStaging(target,
                        [bytes](const std::filesystem::path& staging) { return WriteStagingFile(staging, bytes); },
                        {.not_flushed = "The update package could not be flushed.",
                         .not_moved = "The update package could not be activated."});
}

}  // namespace qvs
