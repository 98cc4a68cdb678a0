#include "trust/descriptor_signature.h"

#include <array>
#include <cstdint>
#include <vector>

#include "build_config.h"
#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "trust/bcrypt_api.h"
#include "trust/sha256.h"
#include "trust/trust_order.h"

namespace qvs {
namespace {

// One ECDSA P-256 check against one of the built-in keys (an ECCPUBLICBLOB); false when the
// signature does not verify.
bool VerifiesWithKey(const std::array<std::uint8_t, 72>& key_blob, ByteView message, ByteView signature) {
  Sha256Digest digest = ComputeSha256(message);

  const BCryptApi& api = SystemBCrypt();
  if (!api.library.loaded() || api.OpenAlgorithmProvider == nullptr || api.CloseAlgorithmProvider == nullptr ||
      api.ImportKeyPair == nullptr || api.VerifySignature == nullptr || api.DestroyKey == nullptr) {
    throw LauncherFailure(kEcdsaUnavailable);
  }

  // Declared before the key so that the key is destroyed first.
  auto provider =
      ScopedWith<BCRYPT_ALG_HANDLE>([&](BCRYPT_ALG_HANDLE handle) { api.CloseAlgorithmProvider(handle, 0); });
  if (Failed(api.OpenAlgorithmProvider(provider.receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    throw LauncherFailure(kEcdsaUnavailable);
  }

  auto key = ScopedWith<BCRYPT_KEY_HANDLE>([&](BCRYPT_KEY_HANDLE handle) { api.DestroyKey(handle); });
  auto blob = key_blob;
  if (Failed(api.ImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.receive(), blob.data(),
                               static_cast<ULONG>(blob.size()), 0))) {
    throw LauncherFailure(kEmbeddedKeyInvalid);
  }

  auto signature_bytes = ByteBuffer(signature.begin(), signature.end());
  return !Failed(api.VerifySignature(key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                     signature_bytes.data(), static_cast<ULONG>(signature_bytes.size()), 0));
}

}  // namespace

void VerifyDescriptorSignature(ByteView descriptor, ByteView signature) {
  if (signature.size() != kSignatureSize) {
    throw LauncherFailure(kSignatureSizeInvalid);
  }
  // The recovery key is tried only for a signature the update key refuses, as after the update key
  // was lost.
  std::vector<KeyVerifies> keys = {
      [](ByteView message, ByteView bytes) { return VerifiesWithKey(kTrustedUpdateKey, message, bytes); }};
  if constexpr (kHasRecoveryKey) {
    keys.push_back(
        [](ByteView message, ByteView bytes) { return VerifiesWithKey(kRecoveryUpdateKey, message, bytes); });
  }
  TrustedKeyIndex(keys, descriptor, signature);
}

namespace {

std::uint32_t NoteKeyIdOf(const std::array<std::uint8_t, 91>& info) { return NoteKeyId(ComputeSha256(info).data()); }

}  // namespace

LogTrust BuiltInLogTrust() {
  LogTrust trust;
  trust.origin = kLogOrigin;
  trust.keys.push_back({NoteKeyIdOf(kLogKeyInfo), [](ByteView message, ByteView signature) {
                          return signature.size() == kSignatureSize && VerifiesWithKey(kLogKey, message, signature);
                        }});
  if constexpr (kHasLogRecoveryKey) {
    trust.keys.push_back({NoteKeyIdOf(kLogRecoveryKeyInfo), [](ByteView message, ByteView signature) {
                            return signature.size() == kSignatureSize &&
                                   VerifiesWithKey(kLogRecoveryKey, message, signature);
                          }});
  }
  return trust;
}

}  // namespace qvs
