#include "launcher/package_verification.h"

#include <filesystem>

#include "store/release_file.h"
#include "trust/descriptor_signature.h"
#include "trust/digest_text.h"
#include "trust/sha256.h"
#include "trust/update_descriptor.h"

namespace qvs {

int RunPackageVerification(int argc, const wchar_t* const* argv) {
  if (argc != 5) {
    return kVerificationUsage;
  }
  // All three reads come before any check, so an unreadable file fails even if another is wrong.
  const ByteBuffer descriptor = ReadReleaseFile(std::filesystem::path(argv[2]), kDescriptorSizeLimit);
  const ByteBuffer signature = ReadReleaseFile(std::filesystem::path(argv[3]), kSignatureSizeLimit);
  const ByteBuffer package = ReadReleaseFile(std::filesystem::path(argv[4]), kPackageSizeLimit);

  // Nothing in the descriptor is interpreted before its origin is proven.
  VerifyDescriptorSignature(descriptor, signature);
  const UpdateDescriptorRecord record = ParseUpdateDescriptor(descriptor);

  // The cheap length test first: a package of the wrong size is never hashed.
  if (package.size() != record.size) {
    return kPackageMismatch;
  }
  if (ToDigestText(ComputeSha256(package)) != record.sha256) {
    return kPackageMismatch;
  }
  return kPackageMatches;
}

}  // namespace qvs
