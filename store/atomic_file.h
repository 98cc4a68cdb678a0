#pragma once

#include <filesystem>

#include "common/byte_buffer.h"

namespace qvs {

// Writes `bytes` to `target` so that a reader finds either the whole old file or the whole new
// one: the bytes go to the staging file (target + ".new"), are forced to disk, and the staging
// file is renamed over the target. Raises a LauncherFailure, or the standard library's
// "create_directories" or "remove" error.
void ReplaceFileAtomically(const std::filesystem::path& target, ByteView bytes);

// Forces a written file's data to the storage device before it is renamed into place; raises a
// LauncherFailure with `failure_sentence` when that fails.
void ForceToDisk(const std::filesystem::path& staging, const char* failure_sentence);

// Whether another program holds `file` open so that it cannot be written or replaced now (Windows
// refuses to open a running program for writing), as opposed to a target that can never be
// replaced, such as a folder.
bool IsHeldOpenElsewhere(const std::filesystem::path& file);

// The staging file of a target: its whole path text followed by ".new".
std::filesystem::path StagingPath(const std::filesystem::path& target);

}  // namespace qvs
