#include "tools/qvs-release/verify.h"

#include "common/launcher_failure.h"
#include "tools/qvs-release/key_files.h"
#include "tools/qvs-release/posix_file.h"
#include "tools/qvs-release/signing.h"
#include "trust/update_descriptor.h"

namespace qvs {
namespace {

ByteBuffer ReadNamedFile(const std::filesystem::path& path, std::uint64_t limit) {
  try {
    return ReadBoundedFile(path, limit);
  } catch (const LauncherFailure& failure) {
    // Keep the launcher's sentence whole; the name only helps to find the file.
    throw LauncherFailure(std::string(failure.what()) + " (" + path.string() + ")");
  }
}

}  // namespace

UpdateDescriptorRecord VerifySignedDescriptor(EVP_PKEY* key, ByteView descriptor, ByteView signature) {
  if (signature.size() != kSignatureSizeLimit) {
    throw LauncherFailure("The update signature has an invalid size.");
  }
  if (!SignatureMatches(key, descriptor, signature)) {
    throw LauncherFailure("The update signature is not trusted.");
  }
  return ParseUpdateDescriptor(descriptor);
}

VerificationResult ComparePackage(const UpdateDescriptorRecord& record, ByteView package) {
  if (package.size() != record.size) {
    return {kPackageMismatch, "The package does not match its descriptor: it has " + std::to_string(package.size()) +
                                  " bytes, the descriptor says " + std::to_string(record.size) + "."};
  }
  const std::string digest = ToDigestText(Sha256Of(package));
  if (digest != record.sha256) {
    return {kPackageMismatch, "The package does not match its descriptor: its SHA-256 is " + digest +
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
