#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/byte_buffer.h"
#include "trust/trust_order.h"
#include "trust/update_descriptor.h"

namespace qvs {

// The launcher's rules on the publisher's machine, in its order: read the descriptor (at most 4096
// bytes), the signature (64) and the package (16 MiB), verify the signature over the descriptor's
// exact bytes with the public key blob, parse, compare the length and then the digest. Answers 0
// or 3 with a one-line report; raises (exit 1) on anything else, with the launcher's sentence
// where it has one.
struct VerificationResult {
  int exit_code = kVerificationFailed;
  std::string report;
};

VerificationResult VerifyRelease(const std::filesystem::path& public_key, const std::filesystem::path& descriptor,
                                 const std::filesystem::path& signature, const std::filesystem::path& package);

// The two halves of that sequence, for bytes that come from elsewhere (the update service):
// the signature size and the signature over the descriptor's exact bytes, then the parse; raises
// with the launcher's sentence.
UpdateDescriptorRecord VerifySignedDescriptor(EVP_PKEY* key, ByteView descriptor, ByteView signature);
// The same for launchers built with a recovery key beside the update key: the update key first,
// then, for a signature it refuses, `recovery_key` when there is one (null: none), as launchers try
// them. Says which one signed.
struct SignedRecord {
  UpdateDescriptorRecord record;
  bool by_recovery_key = false;
};
SignedRecord VerifySignedByEither(EVP_PKEY* update_key, EVP_PKEY* recovery_key, ByteView descriptor,
                                  ByteView signature);
// The length, then the digest, of a package against its verified descriptor: 0 or 3.
VerificationResult ComparePackage(const UpdateDescriptorRecord& record, ByteView package);

}  // namespace qvs
