#pragma once

#include <filesystem>
#include <functional>

#include "common/byte_buffer.h"
#include "common/kernel_handle.h"

namespace qvs {

// The caller's sentences for a file that could not be written, forced to disk or moved into place.
struct FileSentences {
  const char* not_written;
  const char* not_flushed;
  const char* not_moved;
};

// Writes `bytes` to `target` so that a reader finds either the whole old file or the whole new
// one: the bytes go to the staging file (target + ".new"), are forced to disk, and the staging
// file is renamed over the target. Raises a LauncherFailure with one of `sentences`, or the
// standard library's "create_directories" or "remove" error.
void ReplaceFileAtomically(const std::filesystem::path& target, ByteView bytes, const FileSentences& sentences);

// Fills the staging file and returns it still open for writing, so that the handle that wrote it
// forces it to disk. Raises the caller's own failure.
using FillStagingFile = std::function<ScopedFileHandle(const std::filesystem::path& staging)>;

// A caller's sentences and, when a running program holds the target open, whether to wait and
// try again (a true answer) or fail at once.
struct Replacement {
  const char* not_flushed;
  const char* not_moved;
  std::function<bool()> wait_when_held_open;
};

// The staged replacement behind ReplaceFileAtomically and the installed copy: creates the
// target's folders, fills the staging file, forces it to disk, renames it over the target. Other
// programs' short holds on either file, and a read-only mark on the target, are ridden out; a
// failed fill or rename removes the staging file.
void ReplaceThroughStaging(const std::filesystem::path& target, const FillStagingFile& fill, const Replacement& how);

// Opens an existing file to force it to disk; raises a LauncherFailure with `failure_sentence`.
ScopedFileHandle OpenForWriting(const std::filesystem::path& file, const char* failure_sentence);

// Removes a staging file, riding out short holds and a read-only mark; a file that stays is left
// where it is without a report.
void RemoveFileBestEffort(const std::filesystem::path& file) noexcept;

// Patience with another program's short hold on a file, for one call that it refuses: the clock
// starts at the first refusal and the pauses grow up to a bound of a few seconds.
class HoldPatience {
 public:
  // After a refused call: pauses and answers true when trying again may help, false when the
  // refusal was not a hold or the bound has passed.
  bool PauseAfter(bool refused_by_hold);

 private:
  unsigned long long deadline_ = 0;
  unsigned long pause_ = 0;
};

// The staging file of a target: its whole path text followed by ".new".
std::filesystem::path StagingPath(const std::filesystem::path& target);

}  // namespace qvs
