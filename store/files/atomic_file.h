#pragma once

#include <filesystem>
#include <functional>

#include "common/byte_buffer.h"
#include "common/kernel_handle.h"

namespace qvs {

// Writes `bytes` to `target` so that a reader finds either the whole old file or the whole new
// one: the bytes go to the staging file (target + ".new"), are forced to disk, and the staging
// file is renamed over the target. Raises a LauncherFailure, or the standard library's
// "create_directories" or "remove" error.
void ReplaceFileAtomically(const std::filesystem::path& target, ByteView bytes);

// Gives the staging file its content and returns it open for writing, so that it is forced to disk
// through the handle that wrote it. Raises the caller's own failure.
using FillStagingFile = std::function<ScopedFileHandle(const std::filesystem::path& staging)>;

// How a replacement reports and recovers. Without `wait_when_held_open`, a target held open by a
// running program fails the move at once; with it, a true answer fills the staging file afresh and
// moves again.
struct Replacement {
  const char* not_flushed;
  const char* not_moved;
  bool keep_staging_after_failed_move = false;
  std::function<bool()> wait_when_held_open;
};

// The one staged replacement behind every durable write of the launcher: creates the target's
// folders, fills the staging file, forces it to disk, closes it and renames it over the target.
// Raises a LauncherFailure with the sentences of `how`, whatever `fill` raises, or the standard
// library's "create_directories" or "remove" error.
void ReplaceThroughStaging(const std::filesystem::path& target, const FillStagingFile& fill, const Replacement& how);

// Opens an existing file for writing, as the staging file of a replacement; raises a
// LauncherFailure with `failure_sentence` when it cannot be opened.
ScopedFileHandle OpenForWriting(const std::filesystem::path& file, const char* failure_sentence);

// The staging file of a target: its whole path text followed by ".new".
std::filesystem::path StagingPath(const std::filesystem::path& target);

}  // namespace qvs
