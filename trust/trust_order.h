#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>

#include "common/byte_buffer.h"
#include "trust/digest_text.h"
#include "trust/update_descriptor.h"

namespace qvs {

// The answers of package verification: the launcher's `--verify-package` and the publisher's
// `qvs-release verify` give the same codes for the same files.
inline constexpr int kPackageMatches = 0;
inline constexpr int kVerificationFailed = 1;
inline constexpr int kVerificationUsage = 2;
inline constexpr int kPackageMismatch = 3;

// Returns when `signature` proves the descriptor's exact bytes, raises otherwise. The launcher
// checks with CNG against its built-in key, the publisher's tool with OpenSSL against a key file.
using SignatureCheck = std::function<void(ByteView descriptor, ByteView signature)>;
// Whether `signature` proves `message` under one key, on the platform at hand.
using KeyVerifies = std::function<bool(ByteView message, ByteView signature)>;
// The keys a descriptor's signature is tried with, in order: the update key, then its recovery key
// when there is one. The online key comes first, so an ordinary release costs one verification;
// the next is tried only for a signature the one before refused. Returns the index of the key that
// proved it; raises kSignatureNotTrusted when none did.
std::size_t TrustedKeyIndex(std::span<const KeyVerifies> keys, ByteView message, ByteView signature);
// SHA-256 on the platform at hand.
using Sha256Function = std::function<Sha256Digest(ByteView bytes)>;

// The signature's size and the signature over the exact bytes first, then the parse: nothing in a
// descriptor is read before its origin is proven. Raises kSignatureSizeInvalid, what
// `check_signature` raises, or the parse's sentence.
UpdateDescriptorRecord VerifyDescriptor(ByteView descriptor, ByteView signature, const SignatureCheck& check_signature);

struct PackageComparison {
  bool matches = false;
  // The package's digest text; empty when the length already differed and nothing was hashed.
  std::string digest_text;
};

// The length first, so that a package of the wrong size is never hashed, and only when it agrees
// the digest text, compared byte for byte. Raises what `sha256` raises.
PackageComparison ComparePackageToRecord(ByteView package, const UpdateDescriptorRecord& record,
                                         const Sha256Function& sha256);

// The whole check of three files' bytes in that order: kPackageMatches or kPackageMismatch, or the
// failure of the first step that refuses.
int VerifyPackage(ByteView descriptor, ByteView signature, ByteView package, const SignatureCheck& check_signature,
                  const Sha256Function& sha256);

}  // namespace qvs
