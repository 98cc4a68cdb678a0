#include "store/logged_release.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "common/update_service_layout.h"
#include "service/update_service_client.h"
#include "store/release_file.h"
#include "store/release_store.h"
#include "trust/descriptor_signature.h"
#include "trust/log_proof.h"
#include "trust/sha256.h"

namespace qvs {
namespace {

Sha256Digest LeafOf(ByteView descriptor, ByteView signature) {
  return LogLeafHash(descriptor, signature, ComputeSha256);
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::uint64_t ProvenTreeSize(ByteView proof, ByteView descriptor, ByteView signature) {
  return VerifyLogProof(proof, LeafOf(descriptor, signature), BuiltInLogTrust(), ComputeSha256);
}

bool SameBytes(ByteView a, ByteView b) { return std::ranges::equal(a, b); }

}  // namespace

std::filesystem::path StoredProofPath(const std::filesystem::path& data_folder, ByteView descriptor,
                                      ByteView signature) {
  return data_folder / kProofsFolderName / Wide(ToDigestText(LeafOf(descriptor, signature)));
}

std::optional<ByteBuffer> ProveServedRelease(const std::filesystem::path& data_folder, ByteView descriptor,
                                             ByteView signature) {
  // The tree the stored release was proven in is the floor a new release must rise above. A store
  // without a pair whose proof holds (a first start, a store kept before the log check) has none.
  std::optional<std::uint64_t> seen;
  try {
    const ByteBuffer stored_descriptor = ReadReleaseFile(data_folder / kDescriptorFileName, kDescriptorSizeLimit);
    const ByteBuffer stored_signature = ReadReleaseFile(data_folder / kSignatureFileName, kSignatureSizeLimit);
    const ByteBuffer stored_proof =
        ReadReleaseFile(StoredProofPath(data_folder, stored_descriptor, stored_signature), kProofSizeLimit);
    seen = ProvenTreeSize(stored_proof, stored_descriptor, stored_signature);
    if (SameBytes(stored_descriptor, descriptor) && SameBytes(stored_signature, signature)) {
      return std::nullopt;
    }
  } catch (...) {
    // Nothing stored that proves itself: the served pair must prove itself alone.
  }
  const ResponseBody proof =
      FetchUpdateResource(Wide(kProofResourcePath + ToDigestText(LeafOf(descriptor, signature))), kProofSizeLimit);
  const std::uint64_t size = ProvenTreeSize(proof, descriptor, signature);
  if (seen && size <= *seen) {
    throw LauncherFailure(kOlderThanSeen);
  }
  return ByteBuffer(proof.begin(), proof.end());
}

void VerifyStoredProof(const std::filesystem::path& data_folder, ByteView descriptor, ByteView signature) {
  ProvenTreeSize(ReadReleaseFile(StoredProofPath(data_folder, descriptor, signature), kProofSizeLimit), descriptor,
                 signature);
}

}  // namespace qvs
