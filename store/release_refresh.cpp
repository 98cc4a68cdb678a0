#include "store/release_refresh.h"

#include <optional>

#include "build_config.h"
#include "common/byte_buffer.h"
#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "files/atomic_file.h"
#include "service/update_service_client.h"
#include "store/logged_release.h"
#include "store/release_file.h"
#include "store/release_store.h"
#include "store/resource_path.h"
#include "trust/descriptor_signature.h"
#include "trust/sha256.h"
#include "trust/trust_order.h"
#include "trust/update_descriptor.h"

namespace qvs {
namespace {

// A store file that cannot be replaced fails the refresh in the store's words.
constexpr FileSentences kStoreSentences{kPackageNotStored, kPackageNotFlushed, kPackageNotActivated};

// A failed read of something stored there ends the refresh: it is not papered over by a download.
bool StoredCopyMatches(const std::filesystem::path& host_path, const UpdateDescriptorRecord& record) {
  if (!std::filesystem::exists(host_path)) {
    return false;
  }
  const ByteBuffer stored = ReadReleaseFile(host_path, kPackageSizeLimit);
  return ComparePackageToRecord(stored, record, ComputeSha256).matches;
}

void DownloadPackage(const std::filesystem::path& host_path, const UpdateDescriptorRecord& record) {
  const ResponseBody package = FetchUpdateResource(ToResourcePath(record.path), kPackageSizeLimit);
  if (!ComparePackageToRecord(package, record, ComputeSha256).matches) {
    throw LauncherFailure(kHostDidNotMatch);
  }
  ReplaceFileAtomically(host_path, package, kStoreSentences);
}

}  // namespace

std::filesystem::path RefreshRelease(const std::filesystem::path& data_folder) {
  const ResponseBody descriptor = FetchUpdateResource(Widen(kDescriptorResourcePath).text, kDescriptorSizeLimit);
  const ResponseBody signature = FetchUpdateResource(Widen(kSignatureResourcePath).text, kSignatureSizeLimit);
  const UpdateDescriptorRecord record = VerifyDescriptor(descriptor, signature, VerifyDescriptorSignature);
  // Built with the log's key: only a pair the log holds, in a tree larger than the stored one's.
  std::optional<ByteBuffer> proof;
  if constexpr (kChecksReleaseLog) {
    proof = ProveServedRelease(data_folder, descriptor, signature);
  }

  std::filesystem::path host_path = HostPath(data_folder, record.version);
  // The stored copy's buffer is released before any download, so only one package is in memory.
  if (!StoredCopyMatches(host_path, record)) {
    DownloadPackage(host_path, record);
  }

  // The package and the proof land before the descriptor naming them, and "current.txt" last, so
  // an interrupted refresh never leaves a store whose three top files agree on a release that is
  // not there.
  if (proof) {
    ReplaceFileAtomically(StoredProofPath(data_folder, descriptor, signature), *proof, kStoreSentences);
  }
  ReplaceFileAtomically(data_folder / kDescriptorFileName, descriptor, kStoreSentences);
  ReplaceFileAtomically(data_folder / kSignatureFileName, signature, kStoreSentences);
  ReplaceFileAtomically(data_folder / kCurrentVersionFileName, AsBytes(record.version), kStoreSentences);
  return host_path;
}

}  // namespace qvs
