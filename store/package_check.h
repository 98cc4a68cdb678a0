#pragma once

#include "common/byte_buffer.h"
#include "trust/update_descriptor.h"

namespace qvs {

// Whether a package is the one its verified descriptor names: the length first, and only when it
// agrees the digest text, compared byte for byte. Raises a LauncherFailure when SHA-256 fails.
bool PackageMatchesRecord(ByteView package, const UpdateDescriptorRecord& record);

}  // namespace qvs
