#include "tests/support/test_signer.h"

#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

#include "test_private_key.h"
#include "trust/sha256.h"

namespace qvs::testing {
namespace {

// Test programs may link bcrypt directly; only the launcher must not.
struct Provider {
  BCRYPT_ALG_HANDLE handle = nullptr;
  Provider() {
    if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
      throw std::runtime_error("no ECDSA provider");
    }
  }
  ~Provider() { BCryptCloseAlgorithmProvider(handle, 0); }
};

struct Key {
  BCRYPT_KEY_HANDLE handle = nullptr;
  ~Key() {
    if (handle != nullptr) {
      BCryptDestroyKey(handle);
    }
  }
};

ByteBuffer Sign(BCRYPT_KEY_HANDLE key, ByteView message) {
  Sha256Digest digest = ComputeSha256(message);
  ByteBuffer signature(64);
  ULONG written = 0;
  if (BCryptSignHash(key, nullptr, digest.data(), static_cast<ULONG>(digest.size()), signature.data(),
                     static_cast<ULONG>(signature.size()), &written, 0) < 0 ||
      written != 64) {
    throw std::runtime_error("signing failed");
  }
  return signature;
}

}  // namespace

ByteBuffer SignWithTestKey(ByteView message) {
  Provider provider;
  Key key;
  ByteBuffer blob(kTestPrivateKeyBlob.begin(), kTestPrivateKeyBlob.end());
  if (BCryptImportKeyPair(provider.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, &key.handle, blob.data(),
                          static_cast<ULONG>(blob.size()), 0) < 0) {
    throw std::runtime_error("test key import failed");
  }
  return Sign(key.handle, message);
}

ByteBuffer SignWithUntrustedKey(ByteView message) {
  Provider provider;
  Key key;
  if (BCryptGenerateKeyPair(provider.handle, &key.handle, 256, 0) < 0 || BCryptFinalizeKeyPair(key.handle, 0) < 0) {
    throw std::runtime_error("key generation failed");
  }
  return Sign(key.handle, message);
}

}  // namespace qvs::testing
