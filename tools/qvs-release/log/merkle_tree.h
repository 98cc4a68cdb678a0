#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/byte_buffer.h"

namespace qvs {

// The release log's tree, as Certificate Transparency defines it (RFC 6962 / 9162: leaf hash
// SHA-256(0x00 || entry), node hash SHA-256(0x01 || left || right)), served as tiles of height 8
// in the tlog-tiles layout: tile/L/N[.p/W] holds the hashes at tree level 8L, and
// tile/entries/N[.p/W] the entries, each behind its length as a big-endian 16-bit number.
using TreeHash = std::array<std::uint8_t, 32>;

inline constexpr int kTileHeight = 8;
inline constexpr std::uint64_t kTileWidth = 256;
// An entry is a descriptor and its signature; its length prefix holds 16 bits.
inline constexpr std::size_t kLargestEntry = 0xffff;
inline constexpr std::uint64_t kLargestBundle = kTileWidth * (2 + kLargestEntry);

TreeHash LeafHash(ByteView entry);
std::vector<TreeHash> LeafHashes(std::span<const ByteBuffer> entries);
TreeHash NodeHash(const TreeHash& left, const TreeHash& right);
// The root of the tree over these leaf hashes (the hash of nothing for none).
TreeHash RootOf(std::span<const TreeHash> leaves);

// "tile/0/x001/x234/067.p/5" for level 0, tile 1234067, 5 hashes; kEntryLevel for the bundles.
inline constexpr int kEntryLevel = -1;
std::string TilePath(int level, std::uint64_t index, std::uint64_t width);
// How many hashes tile `index` at `level` holds in a tree of `size` leaves (0: none).
std::uint64_t TileWidth(int level, std::uint64_t index, std::uint64_t size);

ByteBuffer EncodeEntryBundle(std::span<const ByteBuffer> entries);
// Raises ToolError naming `path` unless `bytes` are exactly `width` length-prefixed entries.
std::vector<ByteBuffer> ParseEntryBundle(ByteView bytes, std::uint64_t width, const std::string& path);

// Every tile and entry bundle of the tree over `entries`, partial ones included: path -> bytes.
std::map<std::string, ByteBuffer> TilesOf(std::span<const ByteBuffer> entries);

// The hashes of each tile level of the tree over `entries` (level L: the complete subtrees of
// height 8L), and the tile or bundle at `index` of `width` from them: the same in every tree that
// holds it, so an older size's partial tile is checked with a newer tree's levels. Nothing when
// the tree does not reach that far.
std::vector<std::vector<TreeHash>> TileLevels(std::span<const ByteBuffer> entries);
std::optional<ByteBuffer> TileBytes(std::span<const ByteBuffer> entries,
                                    const std::vector<std::vector<TreeHash>>& levels, int level, std::uint64_t index,
                                    std::uint64_t width);

// Reads a tile or bundle at its path (relative to the log's folder), at most `limit` bytes.
using TileReader = std::function<ByteBuffer(const std::string& path, std::uint64_t limit)>;

// The entries of a tree of `size` leaves, read bundle by bundle; a bundle that does not hold its
// width of entries is refused as ParseEntryBundle refuses it, named `shown` followed by its path.
std::vector<ByteBuffer> ReadEntries(std::uint64_t size, const TileReader& read, const std::string& shown);

// A tree of `size` leaves read from its tiles, one tile at a time as hashes are needed. What it
// reads is not trusted: proofs made from it are checked against a signed root by the Verify
// functions below, which alone decide.
class TiledTree {
 public:
  TiledTree(std::uint64_t size, TileReader reader) : size_(size), reader_(std::move(reader)) {}

  std::uint64_t size() const { return size_; }
  TreeHash Root();
  TreeHash LeafAt(std::uint64_t index);
  // RFC 6962's PATH(index, D[0:size]) and PROOF(old_size, D[0:size]).
  std::vector<TreeHash> InclusionProof(std::uint64_t index);
  std::vector<TreeHash> ConsistencyProof(std::uint64_t old_size);

 private:
  TreeHash Subtree(std::uint64_t begin, std::uint64_t end);
  TreeHash Stored(int level, std::uint64_t index);
  void Path(std::uint64_t index, std::uint64_t begin, std::uint64_t end, std::vector<TreeHash>& proof);
  void Subproof(std::uint64_t old_end, std::uint64_t begin, std::uint64_t end, bool whole,
                std::vector<TreeHash>& proof);
  const std::vector<TreeHash>& Tile(int level, std::uint64_t index);

  std::uint64_t size_;
  TileReader reader_;
  std::map<std::pair<int, std::uint64_t>, std::vector<TreeHash>> tiles_;
};

// RFC 9162's verification of an inclusion proof and of a consistency proof.
bool VerifyInclusion(std::uint64_t index, std::uint64_t size, const TreeHash& leaf, std::span<const TreeHash> proof,
                     const TreeHash& root);
bool VerifyConsistency(std::uint64_t old_size, std::uint64_t size, const TreeHash& old_root, const TreeHash& root,
                       std::span<const TreeHash> proof);

}  // namespace qvs
