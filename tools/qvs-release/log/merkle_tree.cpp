#include "tools/qvs-release/log/merkle_tree.h"

#include <openssl/evp.h>

#include <bit>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/openssl_handles.h"
#include "tools/qvs-release/keys/signing.h"
#include "trust/log_proof.h"

namespace qvs {
namespace {

// Fetched once: an implicit fetch on every hash costs more than the hash itself.
const EVP_MD* Sha256Method() {
  static EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (method == nullptr) {
    throw ToolError("SHA-256 is not available");
  }
  return method;
}

TreeHash Sha256(std::uint8_t prefix, ByteView first, ByteView second = {}) {
  TreeHash hash{};
  thread_local const ScopedDigestContext owned(EVP_MD_CTX_new());
  EVP_MD_CTX* const context = owned.get();
  const bool done = context != nullptr && EVP_DigestInit_ex(context, Sha256Method(), nullptr) == 1 &&
                    EVP_DigestUpdate(context, &prefix, 1) == 1 &&
                    EVP_DigestUpdate(context, first.data(), first.size()) == 1 &&
                    EVP_DigestUpdate(context, second.data(), second.size()) == 1 &&
                    EVP_DigestFinal_ex(context, hash.data(), nullptr) == 1;
  if (!done) {
    throw ToolError("SHA-256 failed");
  }
  return hash;
}

// The largest power of two below n (n > 1).
std::uint64_t SplitPoint(std::uint64_t n) { return std::bit_floor(n - 1); }

std::vector<TreeHash> NextLevel(const std::vector<TreeHash>& level) {
  std::vector<TreeHash> next;
  next.reserve(level.size() / 2);
  for (std::size_t i = 0; i + 1 < level.size(); i += 2) {
    next.push_back(NodeHash(level[i], level[i + 1]));
  }
  return next;
}

ByteBuffer Concatenated(std::span<const TreeHash> hashes) {
  ByteBuffer bytes;
  bytes.reserve(hashes.size() * sizeof(TreeHash));
  for (const TreeHash& hash : hashes) {
    bytes.insert(bytes.end(), hash.begin(), hash.end());
  }
  return bytes;
}

}  // namespace

TreeHash LeafHash(ByteView entry) { return Sha256(0x00, entry); }

std::vector<TreeHash> LeafHashes(std::span<const ByteBuffer> entries) {
  std::vector<TreeHash> hashes;
  hashes.reserve(entries.size());
  for (const ByteBuffer& entry : entries) {
    hashes.push_back(LeafHash(entry));
  }
  return hashes;
}

TreeHash NodeHash(const TreeHash& left, const TreeHash& right) { return Sha256(0x01, left, right); }

TreeHash RootOf(std::span<const TreeHash> leaves) {
  if (leaves.empty()) {
    TreeHash hash{};
    EVP_Digest(nullptr, 0, hash.data(), nullptr, EVP_sha256(), nullptr);
    return hash;
  }
  if (leaves.size() == 1) {
    return leaves.front();
  }
  const std::size_t split = SplitPoint(leaves.size());
  return NodeHash(RootOf(leaves.first(split)), RootOf(leaves.subspan(split)));
}

std::string TilePath(int level, std::uint64_t index, std::uint64_t width) {
  // Groups of three digits, all but the last behind an "x": 1234067 is x001/x234/067.
  std::string number = std::to_string(index);
  number.insert(0, (3 - number.size() % 3) % 3, '0');
  std::string path = level == kEntryLevel ? "tile/entries/" : "tile/" + std::to_string(level) + "/";
  for (std::size_t group = 0; group < number.size(); group += 3) {
    const bool last = group + 3 == number.size();
    if (!last) {
      path.push_back('x');
    }
    path.append(number, group, 3);
    if (!last) {
      path.push_back('/');
    }
  }
  if (width < kTileWidth) {
    path += ".p/" + std::to_string(width);
  }
  return path;
}

std::uint64_t TileWidth(int level, std::uint64_t index, std::uint64_t size) {
  const std::uint64_t count = level <= 0 ? size : size >> (kTileHeight * level);
  const std::uint64_t first = index * kTileWidth;
  return count <= first ? 0 : std::min(kTileWidth, count - first);
}

ByteBuffer EncodeEntryBundle(std::span<const ByteBuffer> entries) {
  ByteBuffer bundle;
  for (const ByteBuffer& entry : entries) {
    if (entry.size() > kLargestEntry) {
      throw ToolError("a log entry of " + std::to_string(entry.size()) + " bytes does not fit its 16-bit length");
    }
    bundle.push_back(static_cast<std::uint8_t>(entry.size() >> 8));
    bundle.push_back(static_cast<std::uint8_t>(entry.size() & 0xff));
    bundle.insert(bundle.end(), entry.begin(), entry.end());
  }
  return bundle;
}

std::vector<ByteBuffer> ParseEntryBundle(ByteView bytes, std::uint64_t width, const std::string& path) {
  std::vector<ByteBuffer> entries;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 2) {
      throw ToolError(path + ": an entry's length is cut short");
    }
    const std::size_t length = (std::size_t{bytes[at]} << 8) | bytes[at + 1];
    at += 2;
    if (bytes.size() - at < length) {
      throw ToolError(path + ": entry " + std::to_string(entries.size()) + " is cut short");
    }
    entries.emplace_back(bytes.begin() + at, bytes.begin() + at + length);
    at += length;
  }
  if (entries.size() != width) {
    throw ToolError(path + ": holds " + std::to_string(entries.size()) + " entries, not " + std::to_string(width));
  }
  return entries;
}

std::vector<std::vector<TreeHash>> TileLevels(std::span<const ByteBuffer> entries) {
  std::vector<std::vector<TreeHash>> levels;
  for (std::vector<TreeHash> level = LeafHashes(entries); !level.empty();) {
    levels.push_back(level);
    for (int step = 0; step < kTileHeight; ++step) {
      level = NextLevel(level);
    }
  }
  return levels;
}

std::optional<ByteBuffer> TileBytes(std::span<const ByteBuffer> entries,
                                    const std::vector<std::vector<TreeHash>>& levels, int level, std::uint64_t index,
                                    std::uint64_t width) {
  const std::uint64_t first = index * kTileWidth;
  if (level == kEntryLevel) {
    if (first + width > entries.size()) {
      return std::nullopt;
    }
    return EncodeEntryBundle(entries.subspan(first, width));
  }
  if (level < 0 || static_cast<std::size_t>(level) >= levels.size() || first + width > levels[level].size()) {
    return std::nullopt;
  }
  return Concatenated(std::span<const TreeHash>(levels[level]).subspan(first, width));
}

std::map<std::string, ByteBuffer> TilesOf(std::span<const ByteBuffer> entries) {
  std::map<std::string, ByteBuffer> tiles;
  const std::vector<std::vector<TreeHash>> levels = TileLevels(entries);
  for (int level = kEntryLevel; level < static_cast<int>(levels.size()); ++level) {
    const std::uint64_t count = level == kEntryLevel ? entries.size() : levels[level].size();
    for (std::uint64_t first = 0; first < count; first += kTileWidth) {
      const std::uint64_t width = std::min<std::uint64_t>(kTileWidth, count - first);
      tiles[TilePath(level, first / kTileWidth, width)] = *TileBytes(entries, levels, level, first / kTileWidth, width);
    }
  }
  return tiles;
}

std::vector<ByteBuffer> ReadEntries(std::uint64_t size, const TileReader& read, const std::string& shown) {
  std::vector<ByteBuffer> entries;
  for (std::uint64_t bundle = 0; bundle * kTileWidth < size; ++bundle) {
    const std::uint64_t width = TileWidth(kEntryLevel, bundle, size);
    const std::string path = TilePath(kEntryLevel, bundle, width);
    for (ByteBuffer& entry : ParseEntryBundle(read(path, kLargestBundle), width, shown + path)) {
      entries.push_back(std::move(entry));
    }
  }
  return entries;
}

const std::vector<TreeHash>& TiledTree::Tile(int level, std::uint64_t index) {
  const auto key = std::make_pair(level, index);
  if (const auto found = tiles_.find(key); found != tiles_.end()) {
    return found->second;
  }
  const std::uint64_t width = TileWidth(level, index, size_);
  const std::string path = TilePath(level, index, width);
  const ByteBuffer bytes = reader_(path, width * sizeof(TreeHash));
  if (width == 0 || bytes.size() != width * sizeof(TreeHash)) {
    throw ToolError(path + ": holds " + std::to_string(bytes.size()) + " bytes, not " +
                    std::to_string(width * sizeof(TreeHash)));
  }
  std::vector<TreeHash> hashes(width);
  for (std::uint64_t i = 0; i < width; ++i) {
    std::copy_n(bytes.begin() + i * sizeof(TreeHash), sizeof(TreeHash), hashes[i].begin());
  }
  return tiles_[key] = std::move(hashes);
}

// The hash of the complete subtree of height `level` whose first leaf is index << level: read at
// the tile level below it and hashed up the rest of the way.
TreeHash TiledTree::Stored(int level, std::uint64_t index) {
  const int tile_level = level / kTileHeight;
  const int rest = level % kTileHeight;
  const std::uint64_t first = index << rest;
  const std::vector<TreeHash>& tile = Tile(tile_level, first / kTileWidth);
  const std::uint64_t offset = first % kTileWidth;
  if (offset + (std::uint64_t{1} << rest) > tile.size()) {
    throw ToolError("the log's tiles do not hold the tree they claim");
  }
  std::vector<TreeHash> hashes(tile.begin() + offset, tile.begin() + offset + (std::uint64_t{1} << rest));
  while (hashes.size() > 1) {
    hashes = NextLevel(hashes);
  }
  return hashes.front();
}

TreeHash TiledTree::Subtree(std::uint64_t begin, std::uint64_t end) {
  const std::uint64_t count = end - begin;
  if (std::has_single_bit(count) && begin % count == 0) {
    return Stored(std::countr_zero(count), begin / count);
  }
  const std::uint64_t split = SplitPoint(count);
  return NodeHash(Subtree(begin, begin + split), Subtree(begin + split, end));
}

TreeHash TiledTree::Root() { return size_ == 0 ? RootOf({}) : Subtree(0, size_); }

TreeHash TiledTree::LeafAt(std::uint64_t index) { return Stored(0, index); }

void TiledTree::Path(std::uint64_t index, std::uint64_t begin, std::uint64_t end, std::vector<TreeHash>& proof) {
  if (end - begin <= 1) {
    return;
  }
  const std::uint64_t split = begin + SplitPoint(end - begin);
  if (index < split) {
    Path(index, begin, split, proof);
    proof.push_back(Subtree(split, end));
  } else {
    Path(index, split, end, proof);
    proof.push_back(Subtree(begin, split));
  }
}

void TiledTree::Subproof(std::uint64_t old_end, std::uint64_t begin, std::uint64_t end, bool whole,
                         std::vector<TreeHash>& proof) {
  if (old_end == end) {
    if (!whole) {
      proof.push_back(Subtree(begin, end));
    }
    return;
  }
  const std::uint64_t split = begin + SplitPoint(end - begin);
  if (old_end <= split) {
    Subproof(old_end, begin, split, whole, proof);
    proof.push_back(Subtree(split, end));
  } else {
    Subproof(old_end, split, end, false, proof);
    proof.push_back(Subtree(begin, split));
  }
}

std::vector<TreeHash> TiledTree::InclusionProof(std::uint64_t index) {
  std::vector<TreeHash> proof;
  Path(index, 0, size_, proof);
  return proof;
}

std::vector<TreeHash> TiledTree::ConsistencyProof(std::uint64_t old_size) {
  std::vector<TreeHash> proof;
  if (old_size > 0 && old_size < size_) {
    Subproof(old_size, 0, size_, true, proof);
  }
  return proof;
}

bool VerifyInclusion(std::uint64_t index, std::uint64_t size, const TreeHash& leaf, std::span<const TreeHash> proof,
                     const TreeHash& root) {
  // The launcher's own check, so that the tool and launchers agree on every proof.
  return VerifyLogInclusion(index, size, leaf, std::vector<TreeHash>(proof.begin(), proof.end()), root,
                            [](ByteView bytes) { return Sha256Of(bytes); });
}

bool VerifyConsistency(std::uint64_t old_size, std::uint64_t size, const TreeHash& old_root, const TreeHash& root,
                       std::span<const TreeHash> proof) {
  if (old_size > size) {
    return false;
  }
  if (old_size == size) {
    return proof.empty() && old_root == root;
  }
  if (old_size == 0) {
    return proof.empty();
  }
  std::vector<TreeHash> path(proof.begin(), proof.end());
  if (std::has_single_bit(old_size)) {
    path.insert(path.begin(), old_root);
  }
  if (path.empty()) {
    return false;
  }
  std::uint64_t fn = old_size - 1;
  std::uint64_t sn = size - 1;
  while ((fn & 1) != 0) {
    fn >>= 1;
    sn >>= 1;
  }
  TreeHash old_hash = path.front();
  TreeHash new_hash = path.front();
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (sn == 0) {
      return false;
    }
    if ((fn & 1) != 0 || fn == sn) {
      old_hash = NodeHash(path[i], old_hash);
      new_hash = NodeHash(path[i], new_hash);
      while ((fn & 1) == 0 && fn != 0) {
        fn >>= 1;
        sn >>= 1;
      }
    } else {
      new_hash = NodeHash(new_hash, path[i]);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return old_hash == old_root && new_hash == root && sn == 0;
}

}  // namespace qvs
