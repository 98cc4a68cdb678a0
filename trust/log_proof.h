#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "trust/digest_text.h"
#include "trust/trust_order.h"

namespace qvs {

// The release log as a launcher checks it, platform-free: the proof that a signed pair is the
// last entry of a checkpoint signed by the log key, in the textual forms every log reader shares
// (a C2SP tlog-proof holding a tlog-checkpoint signed note). Only the parse and the Merkle
// arithmetic live here; SHA-256 and the ECDSA check come from the platform, as for descriptors.

inline constexpr char kProofHeader[] = "c2sp.org/tlog-proof@v1";
// The signed-note signature type of ECDSA: its key id is SHA-256 of the key's SubjectPublicKeyInfo.
inline constexpr std::uint8_t kNoteEcdsaType = 0x02;

struct NoteSignature {
  std::string_view name;
  std::uint32_t key_id = 0;
  ByteBuffer signature;  // what follows the key id
};

// A proof as it reads, nothing checked beyond its form: the entry's index and inclusion hashes, the
// checkpoint's text (what its signatures sign), its origin, tree size and root, and its signature
// lines. Views point into the proof's bytes.
struct LogProof {
  std::uint64_t index = 0;
  std::vector<Sha256Digest> hashes;
  std::string_view checkpoint_text;
  std::string_view origin;
  std::uint64_t tree_size = 0;
  Sha256Digest root{};
  std::vector<NoteSignature> signatures;
};

// Nothing for bytes that are not a well-formed proof.
std::optional<LogProof> ParseLogProof(ByteView proof);

// An ECDSA signature as signed notes carry it (DER, X9.62 ECDSA-Sig-Value) as 64 bytes r||s, the
// form CNG verifies; nothing unless it is strict DER with r and s of at most 32 bytes each.
std::optional<ByteBuffer> DerSignatureToRaw(ByteView der);

// A signed-note key id as its four bytes read big-endian (SHA-256 of the key's
// SubjectPublicKeyInfo, first four bytes, for ECDSA keys).
inline std::uint32_t NoteKeyId(const std::uint8_t* first_four) {
  return (std::uint32_t{first_four[0]} << 24) | (std::uint32_t{first_four[1]} << 16) |
         (std::uint32_t{first_four[2]} << 8) | std::uint32_t{first_four[3]};
}

// One trusted log key: its id, and a check of an ECDSA P-256 signature (r||s) over a message's
// SHA-256.
struct LogTrustKey {
  std::uint32_t key_id = 0;
  std::function<bool(ByteView message, ByteView raw_signature)> verifies;
};

// The log as the launcher is built to trust it: the log's origin and its keys (the log key, and
// its recovery key when the launcher has one).
struct LogTrust {
  std::string_view origin;
  std::vector<LogTrustKey> keys;
};

// The leaf of a logged release: SHA-256(0x00 || descriptor || signature).
Sha256Digest LogLeafHash(ByteView descriptor, ByteView signature, const Sha256Function& sha256);
// RFC 6962's inclusion of `leaf` at `index` in a tree of `size` leaves with root `root`.
bool VerifyLogInclusion(std::uint64_t index, std::uint64_t size, const Sha256Digest& leaf,
                        const std::vector<Sha256Digest>& hashes, const Sha256Digest& root,
                        const Sha256Function& sha256);

// Returns the tree size of `proof` when it proves that `leaf` is the last entry of a checkpoint of
// the trusted log, signed by one of its keys; raises "The support update is not in the release
// log." otherwise. A signature line of a trusted key that does not verify refuses the whole proof;
// only the lines of trusted keys are verified, so an ordinary checkpoint costs one verification.
std::uint64_t VerifyLogProof(ByteView proof, const Sha256Digest& leaf, const LogTrust& trust,
                             const Sha256Function& sha256);

}  // namespace qvs
