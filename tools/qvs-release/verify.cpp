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

VerificationResult VerifyRelease(const std::filesystem::path& public_key, const std::filesystem::path& descriptor,
                                 const std::filesystem::path& signature, const std::filesystem::path& package) {
  const ScopedPkey key = LoadPublicKeyBlob(public_key);
  const ByteBuffer descriptor_bytes = ReadNamedFile(descriptor, kDescriptorSizeLimit);
  const ByteBuffer signature_bytes = ReadNamedFile(signature, kSignatureSizeLimit);
  const ByteBuffer package_bytes = ReadNamedFile(package, kPackageSizeLimit);

  if (signature_bytes.size() != kSignatureSizeLimit) {
    throw LauncherFailure("The update signature has an invalid size.");
  }
  if (!SignatureMatches(key.get(), descriptor_bytes, signature_bytes)) {
    throw LauncherFailure("The update signature is not trusted.");
  }
  const UpdateDescriptorRecord record = ParseUpdateDescriptor(descriptor_bytes);
  if (package_bytes.size() != record.size) {
    return {kPackageMismatch, "The package does not match its descriptor: it has " +
                                  std::to_string(package_bytes.size()) + " bytes, the descriptor says " +
                                  std::to_string(record.size) + "."};
  }
  const std::string digest = ToDigestText(Sha256Of(package_bytes));
  if (digest != record.sha256) {
    return {kPackageMismatch, "The package does not match its descriptor: its SHA-256 is " + digest +
                                  ", the descriptor says " + record.sha256 + "."};
  }
  return {kPackageMatches, "The package matches version " + record.version + " (" + record.path + ", " +
                               std::to_string(record.size) + " bytes, SHA-256 " + record.sha256 + ")."};
}

}  // namespace qvs
