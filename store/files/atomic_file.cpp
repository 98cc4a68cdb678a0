#include "store/files/atomic_file.h"

#include <windows.h>

#include "common/launcher_failure.h"

namespace qvs {
namespace {

ScopedFileHandle OpenFile(const std::filesystem::path& file, DWORD share, DWORD disposition) {
  return ScopedFileHandle(
      ::CreateFileW(file.c_str(), GENERIC_WRITE, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Creates or empties the staging file and writes the bytes (at most a package's 16 MiB, so one
// call) through the same handle.
ScopedFileHandle WriteStagingFile(const std::filesystem::path& staging, ByteView bytes) {
  ScopedFileHandle file = OpenFile(staging, FILE_SHARE_READ, CREATE_ALWAYS);
  DWORD written = 0;
  if (!file ||
      (!bytes.empty() && (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                          written != bytes.size()))) {
    throw LauncherFailure("The update package could not be stored.");
  }
  return file;
}

// A running program cannot be opened for writing: a sharing violation, unlike a target that can
// never be replaced, such as a folder.
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
  if (target.has_parent_path()) {
    std::filesystem::create_directories(target.parent_path());
  }
  const std::filesystem::path staging = StagingPath(target);
  for (;;) {
    // Filled afresh on every attempt: while this run waited, another may have used the staging file.
    // Forced to disk before the rename, or a power cut could leave the target renamed but unwritten.
    if (!::FlushFileBuffers(fill(staging).get())) {
      throw LauncherFailure(how.not_flushed);
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
                         .not_moved = "The update package could not be activated.",
                         .keep_staging_after_failed_move = false,
                         .wait_when_held_open = {}});
}

}  // namespace qvs
