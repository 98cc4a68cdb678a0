#include "store/package_check.h"

#include "trust/digest_text.h"
#include "trust/sha256.h"

namespace qvs {

bool PackageMatchesRecord(ByteView package, const UpdateDescriptorRecord& record) {
  if (static_cast<std::uint64_t>(package.size()) != record.size) {
    return false;
  }
  return ToDigestText(ComputeSha256(package)) == record.sha256;
}

}  // namespace qvs
