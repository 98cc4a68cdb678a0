#include "store/cached_release.h"

#include <fstream>
#include <string>

#include "build_config.h"
#include "common/byte_buffer.h"
#include "store/logged_release.h"
#include "store/release_file.h"
#include "store/release_store.h"
#include "trust/descriptor_signature.h"
#include "trust/sha256.h"
#include "trust/trust_order.h"
#include "trust/update_descriptor.h"

namespace qvs {
namespace {

// Text mode on purpose: CR LF reads as LF, and nothing else is trimmed.
std::string ReadFirstLine(const std::filesystem::path& path) {
  std::ifstream stream(path);
  std::string line;
  std::getline(stream, line);
  return line;
}

std::filesystem::path SelectOrRaise(const std::filesystem::path& data_folder) {
  const std::filesystem::path current_path = data_folder / kCurrentVersionFileName;
  if (!std::filesystem::exists(current_path)) {
    return {};
  }
  const std::string current_version = ReadFirstLine(current_path);
  const ByteBuffer descriptor = ReadReleaseFile(data_folder / kDescriptorFileName, kDescriptorSizeLimit);
  const ByteBuffer signature = ReadReleaseFile(data_folder / kSignatureFileName, kSignatureSizeLimit);
  const UpdateDescriptorRecord record = VerifyDescriptor(descriptor, signature, VerifyDescriptorSignature);
  if constexpr (kChecksReleaseLog) {
    VerifyStoredProof(data_folder, descriptor, signature);
  }
  if (current_version != record.version) {
    return {};
  }
  std::filesystem::path host_path = HostPath(data_folder, current_version);
  const ByteBuffer host = ReadReleaseFile(host_path, kPackageSizeLimit);
  if (!ComparePackageToRecord(host, record, ComputeSha256).matches) {
    return {};
  }
  return host_path;
}

}  // namespace

std::filesystem::path SelectCachedRelease(const std::filesystem::path& data_folder) noexcept {
  try {
    return SelectOrRaise(data_folder);
  } catch (...) {
    // Every failure means the same to the caller: nothing usable is stored.
    return {};
  }
}

}  // namespace qvs
