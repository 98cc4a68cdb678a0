#pragma once

#include <filesystem>
#include <string>

#include "tools/qvs-release/keys/key_files.h"
#include "trust/update_descriptor.h"

namespace qvs {

// Signs a descriptor file as it stands with the key --private-key names (a PEM file or a pkcs11: URI), byte for byte,
// and writes the 64-byte signature to `out` (replaced whole). A descriptor the launcher would refuse is refused with
// the launcher's sentence, and nothing is written. So is a private key that is not the one of `public_key` (when given)
// or of the site that `out` lies in (when it lies in one). Returns the descriptor's record.
UpdateDescriptorRecord SignDescriptorFile(const std::string& private_key, const std::filesystem::path& descriptor,
                                          const std::filesystem::path& out,
                                          const std::filesystem::path& public_key = {}, const KeyAccess& access = {});

}  // namespace qvs
