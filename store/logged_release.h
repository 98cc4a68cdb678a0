#pragma once

#include <filesystem>
#include <optional>

#include "common/byte_buffer.h"

namespace qvs {

// The release log check of a launcher built with the log's key. Each stored pair keeps its proof
// beside it, at data folder \ "proofs" \ the pair's leaf hash in hex: written before the
// descriptor, never changed, so a stop at any point leaves the current pair with its proof.

// For a refresh, after the served pair's signature and descriptor passed: the proof to store for
// it, or nothing when the stored pair is the same and its stored proof still holds (then no
// request is made). Otherwise fetches the proof the service keeps for the pair and raises "The
// support update is not in the release log." unless it holds, or "The support update is older than
// the release this launcher has seen." unless its tree is larger than the stored pair's.
std::optional<ByteBuffer> ProveServedRelease(const std::filesystem::path& data_folder, ByteView descriptor,
                                             ByteView signature);

// Where the proof of a pair is stored.
std::filesystem::path StoredProofPath(const std::filesystem::path& data_folder, ByteView descriptor,
                                      ByteView signature);

// For the cached selection: raises unless the pair's stored proof holds.
void VerifyStoredProof(const std::filesystem::path& data_folder, ByteView descriptor, ByteView signature);

}  // namespace qvs
