#include "launcher/package_verification.h"

#include <filesystem>

#include "store/release_file.h"
#include "trust/descriptor_signature.h"
#include "trust/sha256.h"
#include "trust/trust_order.h"
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

  return VerifyPackage(descriptor, signature, package, VerifyDescriptorSignature, ComputeSha256);
}

}  // namespace qvs
