#include "tools/qvs-release/sign.h"

#include <system_error>

#include "common/launcher_failure.h"
#include "tools/qvs-release/key_files.h"
#include "tools/qvs-release/posix_file.h"
#include "tools/qvs-release/signing.h"
#include "tools/qvs-release/tool_error.h"

namespace qvs {

UpdateDescriptorRecord SignDescriptorFile(const std::filesystem::path& private_key,
                                          const std::filesystem::path& descriptor, const std::filesystem::path& out) {
  std::error_code error;
  if (std::filesystem::equivalent(descriptor, out, error)) {
    throw UsageError("--out names the descriptor itself");
  }
  const ScopedPkey key = LoadPrivateKey(private_key);
  ByteBuffer bytes;
  try {
    bytes = ReadBoundedFile(descriptor, kDescriptorSizeLimit);
  } catch (const LauncherFailure& failure) {
    throw ToolError("descriptor " + descriptor.string() + ": " + failure.what() + " (the launcher reads at most " +
                    std::to_string(kDescriptorSizeLimit) + " bytes)");
  }
  // Parse errors carry the launcher's own sentence unchanged.
  UpdateDescriptorRecord record = ParseUpdateDescriptor(bytes);
  ReplaceFileAtomically(out, SignDescriptor(key.get(), bytes), 0644);
  return record;
}

}  // namespace qvs
