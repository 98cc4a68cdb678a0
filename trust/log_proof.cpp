#include "trust/log_proof.h"

#include <algorithm>
#include <array>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"

namespace qvs {
namespace {

constexpr char kSignatureDash[] = "\xe2\x80\x94 ";  // U+2014 and a space
// More hashes than a tree of 2^63 leaves needs is no proof.
constexpr std::size_t kMostHashes = 63;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 with padding, canonical: the bits a padded group leaves over must be zero, so
// each byte string has one text and no other.
std::optional<ByteBuffer> FromBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) {
    return std::nullopt;
  }
  ByteBuffer bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    const std::size_t padding = last ? static_cast<std::size_t>(std::count(text.end() - 2, text.end(), '=')) : 0;
    if (last && padding == 1 && text[at + 2] == '=') {
      return std::nullopt;
    }
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const int value = i >= 4 - padding ? 0 : Base64Value(text[at + i]);
      if (value < 0) {
        return std::nullopt;
      }
      group = (group << 6) | static_cast<std::uint32_t>(value);
    }
    const std::array<std::uint8_t, 3> decoded = {static_cast<std::uint8_t>(group >> 16),
                                                 static_cast<std::uint8_t>(group >> 8),
                                                 static_cast<std::uint8_t>(group)};
    if ((padding == 1 && decoded[2] != 0) || (padding == 2 && (decoded[1] != 0 || decoded[2] != 0))) {
      return std::nullopt;
    }
    bytes.insert(bytes.end(), decoded.begin(), decoded.end() - static_cast<std::ptrdiff_t>(padding));
  }
  return bytes;
}

// ASCII decimal without leading zeroes (unless it is "0"), within 64 bits.
std::optional<std::uint64_t> FromDecimal(std::string_view text) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text.front() == '0')) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

std::optional<Sha256Digest> FromBase64Hash(std::string_view text) {
  const std::optional<ByteBuffer> bytes = FromBase64(text);
  if (!bytes || bytes->size() != Sha256Digest{}.size()) {
    return std::nullopt;
  }
  Sha256Digest hash{};
  std::copy(bytes->begin(), bytes->end(), hash.begin());
  return hash;
}

// Splits off the line at the front of `text` (without its line feed); nothing when no line feed
// ends it.
std::optional<std::string_view> NextLine(std::string_view& text) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return line;
}

// A signed note holds no control character but the line feed.
bool IsNoteText(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\n') || byte == 0x7f;
  });
}

// The checkpoint: its text (origin, tree size, root, any further lines), the last blank line, then
// one or more signature lines.
bool ParseCheckpoint(std::string_view note, LogProof& proof) {
  if (note.size() < 2 || note.back() != '\n' || !IsNoteText(note)) {
    return false;
  }
  const std::size_t split = note.rfind("\n\n", note.size() - 2);
  if (split == std::string_view::npos) {
    return false;
  }
  proof.checkpoint_text = note.substr(0, split + 1);
  std::string_view body = proof.checkpoint_text;
  const std::optional<std::string_view> origin = NextLine(body);
  const std::optional<std::string_view> size_line = NextLine(body);
  const std::optional<std::string_view> root_line = NextLine(body);
  if (!origin || origin->empty() || !size_line || !root_line) {
    return false;
  }
  const std::optional<std::uint64_t> size = FromDecimal(*size_line);
  const std::optional<Sha256Digest> root = FromBase64Hash(*root_line);
  if (!size || !root) {
    return false;
  }
  proof.origin = *origin;
  proof.tree_size = *size;
  proof.root = *root;

  std::string_view signatures = note.substr(split + 2);
  while (!signatures.empty()) {
    std::string_view line = *NextLine(signatures);
    if (!line.starts_with(kSignatureDash)) {
      return false;
    }
    line.remove_prefix(sizeof(kSignatureDash) - 1);
    const std::size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos) {
      return false;
    }
    std::optional<ByteBuffer> bytes = FromBase64(line.substr(space + 1));
    if (!bytes || bytes->size() < 5) {
      return false;
    }
    NoteSignature signature;
    signature.name = line.substr(0, space);
    signature.key_id = NoteKeyId(bytes->data());
    signature.signature.assign(bytes->begin() + 4, bytes->end());
    proof.signatures.push_back(std::move(signature));
  }
  return !proof.signatures.empty();
}

// One DER INTEGER of an ECDSA signature, positive and minimal, as 32 big-endian bytes.
bool ReadDerInteger(ByteView& der, std::uint8_t* out) {
  if (der.size() < 2 || der[0] != 0x02 || der[1] > der.size() - 2 || der[1] == 0) {
    return false;
  }
  ByteView value = der.subspan(2, der[1]);
  der = der.subspan(2 + value.size());
  if ((value[0] & 0x80) != 0 || (value.size() > 1 && value[0] == 0 && (value[1] & 0x80) == 0)) {
    return false;
  }
  if (value.size() > 1 && value[0] == 0) {
    value = value.subspan(1);
  }
  if (value.size() > 32) {
    return false;
  }
  std::copy(value.begin(), value.end(), out + (32 - value.size()));
  return true;
}

[[noreturn]] void NotLogged() { throw LauncherFailure(kNotInReleaseLog); }

Sha256Digest HashOf(std::uint8_t prefix, ByteView first, ByteView second, const Sha256Function& sha256) {
  ByteBuffer input;
  input.reserve(1 + first.size() + second.size());
  input.push_back(prefix);
  input.insert(input.end(), first.begin(), first.end());
  input.insert(input.end(), second.begin(), second.end());
  return sha256(input);
}

}  // namespace

std::optional<LogProof> ParseLogProof(ByteView bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  LogProof proof;
  if (NextLine(text) != std::string_view(kProofHeader)) {
    return std::nullopt;
  }
  std::optional<std::string_view> line = NextLine(text);
  // Extra data is not authenticated and means nothing to a launcher: passed over.
  if (line && line->starts_with("extra ")) {
    line = NextLine(text);
  }
  if (!line || !line->starts_with("index ")) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> index = FromDecimal(line->substr(6));
  if (!index) {
    return std::nullopt;
  }
  proof.index = *index;
  while (true) {
    line = NextLine(text);
    if (!line) {
      return std::nullopt;
    }
    if (line->empty()) {
      break;
    }
    const std::optional<Sha256Digest> hash = FromBase64Hash(*line);
    if (!hash || proof.hashes.size() == kMostHashes) {
      return std::nullopt;
    }
    proof.hashes.push_back(*hash);
  }
  if (!ParseCheckpoint(text, proof)) {
    return std::nullopt;
  }
  return proof;
}

std::optional<ByteBuffer> DerSignatureToRaw(ByteView der) {
  if (der.size() < 2 || der[0] != 0x30 || der[1] != der.size() - 2 || der[1] >= 0x80) {
    return std::nullopt;
  }
  ByteBuffer raw(64, 0);
  ByteView rest = der.subspan(2);
  if (!ReadDerInteger(rest, raw.data()) || !ReadDerInteger(rest, raw.data() + 32) || !rest.empty()) {
    return std::nullopt;
  }
  return raw;
}

Sha256Digest LogLeafHash(ByteView descriptor, ByteView signature, const Sha256Function& sha256) {
  return HashOf(0x00, descriptor, signature, sha256);
}

bool VerifyLogInclusion(std::uint64_t index, std::uint64_t size, const Sha256Digest& leaf,
                        const std::vector<Sha256Digest>& hashes, const Sha256Digest& root,
                        const Sha256Function& sha256) {
  if (index >= size) {
    return false;
  }
  // RFC 9162, 2.1.3.2: walk up from the leaf, the sibling on the left whenever this node is a
  // right child or the last node of its level.
  std::uint64_t node = index;
  std::uint64_t last = size - 1;
  Sha256Digest hash = leaf;
  for (const Sha256Digest& sibling : hashes) {
    if (last == 0) {
      return false;
    }
    if ((node & 1) != 0 || node == last) {
      hash = HashOf(0x01, sibling, hash, sha256);
      while ((node & 1) == 0 && node != 0) {
        node >>= 1;
        last >>= 1;
      }
    } else {
      hash = HashOf(0x01, hash, sibling, sha256);
    }
    node >>= 1;
    last >>= 1;
  }
  return last == 0 && hash == root;
}

std::uint64_t VerifyLogProof(ByteView bytes, const Sha256Digest& leaf, const LogTrust& trust,
                             const Sha256Function& sha256) {
  const std::optional<LogProof> proof = ParseLogProof(bytes);
  // The pair is the checkpoint's last entry: the tree this launcher then remembers is the one
  // that was current when the release was published.
  if (!proof || proof->origin != trust.origin || proof->index + 1 != proof->tree_size) {
    NotLogged();
  }
  bool signed_by_key = false;
  for (const NoteSignature& signature : proof->signatures) {
    const auto key = std::find_if(trust.keys.begin(), trust.keys.end(),
                                  [&](const LogTrustKey& trusted) { return trusted.key_id == signature.key_id; });
    if (signature.name != trust.origin || key == trust.keys.end()) {
      continue;  // another key's: the Ed25519 key of the log's other readers, a witness's
    }
    const std::optional<ByteBuffer> raw = DerSignatureToRaw(signature.signature);
    if (!raw || !key->verifies(AsBytes(proof->checkpoint_text), *raw)) {
      NotLogged();
    }
    signed_by_key = true;
  }
  if (!signed_by_key || !VerifyLogInclusion(proof->index, proof->tree_size, leaf, proof->hashes, proof->root, sha256)) {
    NotLogged();
  }
  return proof->tree_size;
}

}  // namespace qvs
