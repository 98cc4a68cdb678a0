#include "tools/qvs-release/keys/verify.h"

#include <vector>

#include "common/launcher_failure.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"
#include "trust/update_descriptor.h"

namespace qvs {

UpdateDescriptorRecord VerifySignedDescriptor(EVP_PKEY* key, ByteView descriptor, ByteView signature) {
  return VerifySignedByEither(key, nullptr, descriptor, signature).record;
}

// The launcher's order of keys, with OpenSSL in place of CNG.
SignedRecord VerifySignedByEither(EVP_PKEY* update_key, EVP_PKEY* recovery_key, ByteView descriptor,
                                  ByteView signature) {
  std::vector<KeyVerifies> keys;
  for (EVP_PKEY* key : {update_key, recovery_key}) {
    if (key != nullptr) {
      keys.push_back([key](ByteView message, ByteView bytes) { return SignatureMatches(key, message, bytes); });
    }
  }
  std::size_t index = 0;
  UpdateDescriptorRecord record = VerifyDescriptor(
      descriptor, signature, [&](ByteView message, ByteView bytes) { index = TrustedKeyIndex(keys, message, bytes); });
  return {std::move(record), index == 1};
}

VerificationResult ComparePackage(const UpdateDescriptorRecord& record, ByteView package) {
  const PackageComparison comparison = ComparePackageToRecord(package, record, Sha256Of);
  if (comparison.digest_text.empty()) {
    return {kPackageMismatch, "The package does not match its descriptor: it has " + std::to_string(package.size()) +
                                  " bytes, the descriptor says " + std::to_string(record.size) + "."};
  }
  if (!comparison.matches) {
    return {kPackageMismatch, "The package does not match its descriptor: its SHA-256 is " + comparison.digest_text +
                                  ", the descriptor says " + record.sha256 + "."};
  }
  return {kPackageMatches, "The package matches version " + record.version + " (" + record.path + ", " +
                               std::to_string(record.size) + " bytes, SHA-256 " + record.sha256 + ")."};
}

VerificationResult VerifyRelease(const std::filesystem::path& public_key, const std::filesystem::path& descriptor,
                                 const std::filesystem::path& signature, const std::filesystem::path& package) {
  const ScopedPkey key = LoadPublicKeyBlob(public_key);
  const ByteBuffer descriptor_bytes = ReadNamedFile(descriptor, kDescriptorSizeLimit);
  const ByteBuffer signature_bytes = ReadNamedFile(signature, kSignatureSizeLimit);
  const ByteBuffer package_bytes = ReadNamedFile(package, kPackageSizeLimit);
  return ComparePackage(VerifySignedDescriptor(key.get(), descriptor_bytes, signature_bytes), package_bytes);
}

}  // namespace qvs
