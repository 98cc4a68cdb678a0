#include "trust/descriptor_signature.h"

#include "build_config.h"
#include "common/launcher_failure.h"
#include "trust/bcrypt_api.h"
#include "trust/sha256.h"
#include "trust/trust_order.h"

namespace qvs {

void VerifyDescriptorSignature(ByteView descriptor, ByteView signature) {
  if (signature.size() != kSignatureSize) {
    throw LauncherFailure("The update signature has an invalid size.");
  }
  Sha256Digest digest = ComputeSha256(descriptor);

  const BCryptApi& api = SystemBCrypt();
  if (!api.library.loaded() || api.OpenAlgorithmProvider == nullptr || api.CloseAlgorithmProvider == nullptr ||
      api.ImportKeyPair == nullptr || api.VerifySignature == nullptr || api.DestroyKey == nullptr) {
    throw LauncherFailure("ECDSA verification is unavailable.");
  }

  // Declared before the key so that the key is destroyed first.
  auto provider =
      ScopedWith<BCRYPT_ALG_HANDLE>([&](BCRYPT_ALG_HANDLE handle) { api.CloseAlgorithmProvider(handle, 0); });
  if (Failed(api.OpenAlgorithmProvider(provider.receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    throw LauncherFailure("ECDSA verification is unavailable.");
  }

  auto key = ScopedWith<BCRYPT_KEY_HANDLE>([&](BCRYPT_KEY_HANDLE handle) { api.DestroyKey(handle); });
  auto key_blob = kTrustedUpdateKey;
  if (Failed(api.ImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.receive(), key_blob.data(),
                               static_cast<ULONG>(key_blob.size()), 0))) {
    throw LauncherFailure("The embedded update key is invalid.");
  }

  auto signature_bytes = ByteBuffer(signature.begin(), signature.end());
  if (Failed(api.VerifySignature(key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                 signature_bytes.data(), static_cast<ULONG>(signature_bytes.size()), 0))) {
    throw LauncherFailure("The update signature is not trusted.");
  }
}

}  // namespace qvs
