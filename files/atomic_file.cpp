#include "files/atomic_file.h"

#include <windows.h>

#include <algorithm>
#include <initializer_list>

#include "common/launcher_failure.h"

namespace qvs {
namespace {

// Scanners, indexers, cloud sync and backup tools open a file right after it appears or changes,
// mostly for a few milliseconds, sometimes for a second or two. A call that such a hold refuses is
// tried again after pauses of 10, 20, 40 ... ms (at most 250 ms each) until 3 s have passed since
// its first refusal; a file held longer fails with the step's own sentence, as a locked one always
// did. A call that succeeds at once never reads the clock.
constexpr DWORD kFirstPauseMilliseconds = 10;
constexpr DWORD kLongestPauseMilliseconds = 250;
constexpr ULONGLONG kHoldBoundMilliseconds = 3000;

// The refusals that another process's open handle causes. A read-only file and a file whose
// deletion waits for its last handle are refused the same way.
bool IsRefusedByHold(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

bool IsFolder(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool NameIsAbsent(const std::filesystem::path& path) {
  if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  const DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// As installers do: a file that some tool marked read-only is replaced all the same. True when
// the mark was there and is gone.
bool ClearReadOnly(const std::filesystem::path& file) {
  const DWORD attributes = ::GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  const DWORD cleared = attributes & ~FILE_ATTRIBUTE_READONLY;
  return ::SetFileAttributesW(file.c_str(), cleared == 0 ? FILE_ATTRIBUTE_NORMAL : cleared) != FALSE;
}

// Runs `attempt` (a platform call answering success) until it succeeds, or until its refusal is
// not a hold, `gives_up` says so, or the bound has passed. A refusal first clears a read-only mark
// on the `files` it concerns; a folder in their place is never a hold. The last error stays the
// last refusal's.
using Concerned = std::initializer_list<const std::filesystem::path*>;

template <typename Attempt, typename GivesUp = bool (*)()>
bool TryWhileHeld(
    Concerned files, Attempt attempt, GivesUp gives_up = [] { return false; }) {
  HoldPatience patience;
  for (;;) {
    if (attempt()) {
      return true;
    }
    const DWORD error = ::GetLastError();
    bool cleared = false;
    bool folder = false;
    for (const std::filesystem::path* file : files) {
      cleared = (IsRefusedByHold(error) && ClearReadOnly(*file)) || cleared;
      folder = folder || IsFolder(*file);
    }
    if (cleared) {
      continue;
    }
    if (folder || gives_up() || !patience.PauseAfter(IsRefusedByHold(error))) {
      ::SetLastError(error);
      return false;
    }
  }
}

ScopedFileHandle OpenFile(const std::filesystem::path& file, DWORD share, DWORD disposition) {
  return ScopedFileHandle(
      ::CreateFileW(file.c_str(), GENERIC_WRITE, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

ScopedFileHandle OpenWhileHeld(const std::filesystem::path& file, DWORD share, DWORD disposition) {
  ScopedFileHandle opened;
  TryWhileHeld({&file}, [&] {
    opened = OpenFile(file, share, disposition);
    return static_cast<bool>(opened);
  });
  return opened;
}

// Creates or empties the staging file and writes the bytes (at most a package's 16 MiB, so one
// call) through the same handle.
ScopedFileHandle WriteStagingFile(const std::filesystem::path& staging, ByteView bytes, const char* not_written) {
  // No process can hold a name that does not exist: a refused creation is the folder's (read-only,
  // a share that refuses writes, a protected folder), and waiting changes nothing. A leftover
  // whose deletion is pending still has its name, and keeps the patience.
  ScopedFileHandle file;
  TryWhileHeld(
      {&staging},
      [&] {
        file = OpenFile(staging, FILE_SHARE_READ, CREATE_ALWAYS);
        return static_cast<bool>(file);
      },
      [&] { return NameIsAbsent(staging); });
  DWORD written = 0;
  if (!file ||
      (!bytes.empty() && (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                          written != bytes.size()))) {
    throw LauncherFailure(not_written);
  }
  return file;
}

// A running program cannot be opened for writing: a sharing violation, unlike a target that can
// never be replaced, such as a folder, and unlike a scanner's hold, which shares writing.
bool IsHeldOpenElsewhere(const std::filesystem::path& file) {
  const ScopedFileHandle opened = OpenFile(file, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
  return !opened && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

// Renames the staging file over the target, riding out holds on either. A caller that waits for
// a running program gets the refusal at once when that is what holds the target.
bool MoveOverTarget(const std::filesystem::path& staging, const std::filesystem::path& target,
                    bool caller_waits_for_running_program) {
  return TryWhileHeld(
      {&target, &staging},
      [&] {
        return ::MoveFileExW(staging.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
      },
      [&] { return caller_waits_for_running_program && IsHeldOpenElsewhere(target); });
}

}  // namespace

bool HoldPatience::PauseAfter(bool refused_by_hold) {
  if (!refused_by_hold) {
    return false;
  }
  const ULONGLONG now = ::GetTickCount64();
  if (deadline_ == 0) {
    deadline_ = now + kHoldBoundMilliseconds;
    pause_ = kFirstPauseMilliseconds;
  }
  if (now >= deadline_) {
    return false;
  }
  ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pause_, deadline_ - now)));
  pause_ = std::min(pause_ * 2, kLongestPauseMilliseconds);
  return true;
}

void RemoveFileBestEffort(const std::filesystem::path& file) noexcept {
  TryWhileHeld({&file}, [&] { return ::DeleteFileW(file.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND; });
}

ScopedFileHandle OpenForWriting(const std::filesystem::path& file, const char* failure_sentence) {
  ScopedFileHandle opened = OpenWhileHeld(file, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
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
    try {
      // Filled afresh on every attempt: while this run waited, another may have used the staging
      // file. Forced to disk before the rename, or a power cut could leave the target renamed but
      // unwritten.
      if (!::FlushFileBuffers(fill(staging).get())) {
        throw LauncherFailure(how.not_flushed);
      }
    } catch (...) {
      // A half-written staging file only takes room: a full disk is not left full.
      RemoveFileBestEffort(staging);
      throw;
    }
    if (MoveOverTarget(staging, target, static_cast<bool>(how.wait_when_held_open))) {
      return;
    }
    if (!how.wait_when_held_open || !IsHeldOpenElsewhere(target) || !how.wait_when_held_open()) {
      break;
    }
  }
  RemoveFileBestEffort(staging);
  throw LauncherFailure(how.not_moved);
}

void ReplaceFileAtomically(const std::filesystem::path& target, ByteView bytes, const FileSentences& sentences) {
  ReplaceThroughStaging(
      target,
      [bytes, &sentences](const std::filesystem::path& staging) {
        return WriteStagingFile(staging, bytes, sentences.not_written);
      },
      {.not_flushed = sentences.not_flushed, .not_moved = sentences.not_moved, .wait_when_held_open = {}});
}

}  // namespace qvs
