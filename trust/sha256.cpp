#include "trust/sha256.h"

#include <limits>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "trust/bcrypt_api.h"

namespace qvs {

Sha256Digest ComputeSha256(ByteView bytes) {
  const BCryptApi& api = SystemBCrypt();
  if (!api.library.loaded() || api.OpenAlgorithmProvider == nullptr || api.CloseAlgorithmProvider == nullptr ||
      api.GetProperty == nullptr || api.CreateHash == nullptr || api.HashData == nullptr || api.FinishHash == nullptr ||
      api.DestroyHash == nullptr) {
    throw LauncherFailure(kSha256Unavailable);
  }

  auto provider =
      ScopedWith<BCRYPT_ALG_HANDLE>([&](BCRYPT_ALG_HANDLE handle) { api.CloseAlgorithmProvider(handle, 0); });
  if (Failed(api.OpenAlgorithmProvider(provider.receive(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    throw LauncherFailure(kSha256Unavailable);
  }

  DWORD object_length = 0;
  ULONG written = 0;
  if (Failed(api.GetProperty(provider.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&object_length),
                             sizeof(object_length), &written, 0))) {
    throw LauncherFailure("SHA-256 configuration failed.");
  }

  // Windows requires a hash object of exactly the reported length; Wine accepts any.
  ByteBuffer hash_object(object_length);
  auto hash = ScopedWith<BCRYPT_HASH_HANDLE>([&](BCRYPT_HASH_HANDLE handle) { api.DestroyHash(handle); });
  if (Failed(api.CreateHash(provider.get(), hash.receive(), hash_object.empty() ? nullptr : hash_object.data(),
                            object_length, nullptr, 0, 0))) {
    throw LauncherFailure("SHA-256 initialization failed.");
  }

  // The length goes to the platform as a 32-bit count; a larger input would be hashed only in part
  // and yield a digest of other bytes, so it is refused instead of cut.
  if (bytes.size() > std::numeric_limits<ULONG>::max()) {
    throw LauncherFailure("SHA-256 input failed.");
  }
  if (!bytes.empty() &&
      Failed(api.HashData(hash.get(), const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(bytes.size()), 0))) {
    throw LauncherFailure("SHA-256 input failed.");
  }

  Sha256Digest digest{};
  if (Failed(api.FinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    throw LauncherFailure("SHA-256 completion failed.");
  }
  return digest;
}

}  // namespace qvs
