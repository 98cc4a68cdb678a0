#include "trust/trust_order.h"

#include <cstdint>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"

namespace qvs {

std::size_t TrustedKeyIndex(std::span<const KeyVerifies> keys, ByteView message, ByteView signature) {
  for (std::size_t index = 0; index < keys.size(); ++index) {
    if (keys[index](message, signature)) {
      return index;
    }
  }
  throw LauncherFailure(kSignatureNotTrusted);
}

UpdateDescriptorRecord VerifyDescriptor(ByteView descriptor, ByteView signature,
                                        const SignatureCheck& check_signature) {
  if (signature.size() != kSignatureSize) {
    throw LauncherFailure(kSignatureSizeInvalid);
  }
  check_signature(descriptor, signature);
  return ParseUpdateDescriptor(descriptor);
}

PackageComparison ComparePackageToRecord(ByteView package, const UpdateDescriptorRecord& record,
                                         const Sha256Function& sha256) {
  PackageComparison comparison;
  if (static_cast<std::uint64_t>(package.size()) != record.size) {
    return comparison;
  }
  comparison.digest_text = ToDigestText(sha256(package));
  comparison.matches = comparison.digest_text == record.sha256;
  return comparison;
}

int VerifyPackage(ByteView descriptor, ByteView signature, ByteView package, const SignatureCheck& check_signature,
                  const Sha256Function& sha256) {
  const UpdateDescriptorRecord record = VerifyDescriptor(descriptor, signature, check_signature);
  return ComparePackageToRecord(package, record, sha256).matches ? kPackageMatches : kPackageMismatch;
}

}  // namespace qvs
