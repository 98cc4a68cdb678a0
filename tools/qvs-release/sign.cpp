#include "tools/qvs-release/sign.h"

#include <optional>
#include <system_error>

#include "common/launcher_failure.h"
#include "tools/qvs-release/key_files.h"
#include "tools/qvs-release/posix_file.h"
#include "tools/qvs-release/signing_key.h"
#include "tools/qvs-release/site_key.h"
#include "tools/qvs-release/tool_error.h"

namespace qvs {

UpdateDescriptorRecord SignDescriptorFile(const std::string& private_key, const std::filesystem::path& descriptor,
                                          const std::filesystem::path& out, const std::filesystem::path& public_key,
                                          const KeyAccess& access) {
  std::error_code error;
  if (std::filesystem::equivalent(descriptor, out, error)) {
    throw UsageError("--out names the descriptor itself");
  }
  const std::unique_ptr<SigningKey> key = OpenSigningKey(private_key, access);
  if (!public_key.empty()) {
    RequireMatchingKey(*key, ReadPublicKeyBlob(public_key), "--public-key " + public_key.string());
  }
  if (const std::optional<std::filesystem::path> site = EnclosingSite(out)) {
    if (const std::optional<ByteBuffer> site_key = ReadSiteKey(*site)) {
      RequireMatchingKey(*key, *site_key,
                         "the key file " + (*site / kSiteKeyFileName).string() + " of the site --out lies in");
    }
  }
  ByteBuffer bytes;
  try {
    bytes = ReadBoundedFile(descriptor, kDescriptorSizeLimit);
  } catch (const LauncherFailure& failure) {
    throw ToolError("descriptor " + descriptor.string() + ": " + failure.what() + " (the launcher reads at most " +
                    std::to_string(kDescriptorSizeLimit) + " bytes)");
  }
  // Parse errors carry the launcher's own sentence unchanged.
  UpdateDescriptorRecord record = ParseUpdateDescriptor(bytes);
  ReplaceFileAtomically(out, key->Sign(bytes), 0644);
  return record;
}

}  // namespace qvs
