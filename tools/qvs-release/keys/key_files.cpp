#include "tools/qvs-release/keys/key_files.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <optional>

#include "tools/qvs-release/base/input_file.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/secret_input.h"

namespace qvs {
namespace {

constexpr char kCurveName[] = "prime256v1";
constexpr std::size_t kCoordinateSize = 32;
constexpr std::array<std::uint8_t, 8> kBlobHeader = {'E', 'C', 'S', '1', 32, 0, 0, 0};

bool IsP256Key(EVP_PKEY* key) {
  char group[64] = {};
  std::size_t length = 0;
  return EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group), &length) == 1 &&
         std::strcmp(group, kCurveName) == 0;
}

// scrypt with N = 2^14, r = 8, p = 1 (16 MiB): OpenSSL's own choice for `openssl pkcs8 -scrypt`, and
// the most that OpenSSL's decoder accepts by default.
constexpr std::uint64_t kScryptCost = 16384;
constexpr std::uint64_t kScryptBlockSize = 8;
constexpr std::uint64_t kScryptParallel = 1;

// Asked by OpenSSL only for an encrypted key. Exceptions must not cross OpenSSL's C frames: a
// failure to get the passphrase is kept and raised again after the decoder returns.
struct PassphraseRequest {
  const std::filesystem::path* key_file;
  const KeyAccess* access;
  bool asked = false;
  std::exception_ptr failure;
};

int GivePassphrase(char* buffer, int size, int, void* context) {
  auto* request = static_cast<PassphraseRequest*>(context);
  request->asked = true;
  try {
    const Secret secret = ReadSecret(request->access->passphrase_file, "passphrase", "--passphrase-file",
                                     "Passphrase for " + request->key_file->string() + ": ");
    if (secret.text().size() > static_cast<std::size_t>(size)) {
      throw ToolError("the passphrase is longer than " + std::to_string(size) + " bytes");
    }
    std::memcpy(buffer, secret.text().data(), secret.text().size());
    return static_cast<int>(secret.text().size());
  } catch (...) {
    request->failure = std::current_exception();
    return -1;
  }
}

void AppendCoordinate(EVP_PKEY* key, const char* name, ByteBuffer& blob) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) {
    throw ToolError("cannot read the public key: " + OpenSslReason());
  }
  ScopedBignum number(raw);
  std::array<std::uint8_t, kCoordinateSize> bytes{};
  if (BN_bn2binpad(number.get(), bytes.data(), bytes.size()) != static_cast<int>(bytes.size())) {
    throw ToolError("cannot encode the public key: " + OpenSslReason());
  }
  blob.insert(blob.end(), bytes.begin(), bytes.end());
}

}  // namespace

ScopedPkey GenerateSigningKey() {
  ScopedPkey key(EVP_EC_gen(kCurveName));
  if (!key) {
    throw ToolError("cannot generate a P-256 key: " + OpenSslReason());
  }
  return key;
}

namespace {

// The private key as unencrypted PKCS#8 PEM, or encrypted under `passphrase` when one is given.
std::string PrivateKeyPem(EVP_PKEY* key, std::optional<std::string_view> passphrase) {
  // Secure memory: the buffer is cleared when the BIO is freed.
  ScopedBio bio(BIO_new(BIO_s_secmem()));
  if (!bio) {
    throw ToolError("cannot encode the private key: " + OpenSslReason());
  }
  if (!passphrase) {
    if (PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
      throw ToolError("cannot encode the private key: " + OpenSslReason());
    }
  } else {
    ScopedHandle<PKCS8_PRIV_KEY_INFO*, ReleaseWith<PKCS8_PRIV_KEY_INFO_free>> info(EVP_PKEY2PKCS8(key));
    X509_ALGOR* scheme =
        PKCS5_pbe2_set_scrypt(EVP_aes_256_cbc(), nullptr, 0, nullptr, kScryptCost, kScryptBlockSize, kScryptParallel);
    // On success the scheme belongs to the encrypted key; on failure it is still ours.
    ScopedHandle<X509_SIG*, ReleaseWith<X509_SIG_free>> encrypted(
        info && scheme ? PKCS8_set0_pbe(passphrase->data(), static_cast<int>(passphrase->size()), info.get(), scheme)
                       : nullptr);
    if (!encrypted) {
      X509_ALGOR_free(scheme);
      throw ToolError("cannot encrypt the private key: " + OpenSslReason());
    }
    if (PEM_write_bio_PKCS8(bio.get(), encrypted.get()) != 1) {
      throw ToolError("cannot encode the private key: " + OpenSslReason());
    }
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

ByteBuffer PublicKeyBlob(EVP_PKEY* key) {
  ByteBuffer blob(kBlobHeader.begin(), kBlobHeader.end());
  AppendCoordinate(key, OSSL_PKEY_PARAM_EC_PUB_X, blob);
  AppendCoordinate(key, OSSL_PKEY_PARAM_EC_PUB_Y, blob);
  return blob;
}

ByteBuffer PublicKeyBlobFromPoint(ByteView point) {
  if (point.size() != 1 + 2 * kCoordinateSize || point[0] != 0x04) {
    throw ToolError("not an uncompressed P-256 point (65 bytes: 0x04, X, Y)");
  }
  ByteBuffer blob(kPublicKeyBlobSize);
  std::copy(kBlobHeader.begin(), kBlobHeader.end(), blob.begin());
  std::copy(point.begin() + 1, point.end(), blob.begin() + kBlobHeader.size());
  return blob;
}

void RequireNewFile(const std::filesystem::path& path) {
  std::error_code error;
  if (std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found) {
    throw ToolError(path.string() + ": already exists; refusing to overwrite it");
  }
}

ScopedPkey PublicKeyFromBlob(ByteView blob) {
  if (blob.size() != kPublicKeyBlobSize || !std::equal(kBlobHeader.begin(), kBlobHeader.end(), blob.begin())) {
    throw ToolError("not a P-256 public key blob (72 bytes: \"ECS1\", 32, X, Y)");
  }
  // The uncompressed point: 0x04, X, Y.
  std::array<std::uint8_t, 1 + 2 * kCoordinateSize> point{};
  point[0] = 0x04;
  std::copy(blob.begin() + kBlobHeader.size(), blob.end(), point.begin() + 1);
  char group[] = "prime256v1";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
      OSSL_PARAM_construct_end(),
  };
  ScopedPkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, const_cast<OSSL_PARAM*>(params)) != 1) {
    throw ToolError("not a P-256 public key blob: the point is not on the curve (" + OpenSslReason() + ")");
  }
  ScopedPkey key(raw);
  ScopedPkeyContext check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) {
    throw ToolError("not a P-256 public key blob: the point is not on the curve (" + OpenSslReason() + ")");
  }
  return key;
}

PrivateKeyFile::PrivateKeyFile(std::filesystem::path path, const std::string& what)
    : path_(std::move(path)), bytes_(ReadInputFile(path_, what, kPrivateKeyFileLimit)) {}

PrivateKeyFile::~PrivateKeyFile() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

ScopedPkey ReadPemPrivateKey(const PrivateKeyFile& file, const KeyAccess& access) {
  const std::filesystem::path& path = file.path();
  const std::string_view pem = file.text();
  ScopedBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  PassphraseRequest request{&path, &access, false, nullptr};
  ScopedPkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassphrase, &request) : nullptr);
  if (request.failure) {
    OpenSslReason();
    std::rethrow_exception(request.failure);
  }
  if (!key && request.asked) {
    OpenSslReason();
    throw ToolError(path.string() + ": wrong passphrase, or not an encrypted PKCS#8 private key");
  }
  if (!key) {
    throw ToolError(path.string() + ": not a PEM private key (" + OpenSslReason() + ")");
  }
  return key;
}

ScopedPkey LoadPrivateKey(const std::filesystem::path& path, const KeyAccess& access) {
  ScopedPkey key = ReadPemPrivateKey(PrivateKeyFile(path, "private key"), access);
  if (!IsP256Key(key.get())) {
    throw ToolError(path.string() + ": not an ECDSA P-256 key");
  }
  return key;
}

ByteBuffer ReadPublicKeyBlob(const std::filesystem::path& path) {
  ByteBuffer blob = ReadInputFile(path, "public key", kPublicKeyBlobSize);
  try {
    PublicKeyFromBlob(blob);
  } catch (const ToolError& error) {
    throw ToolError("public key " + path.string() + ": " + error.what());
  }
  return blob;
}

ScopedPkey LoadPublicKeyBlob(const std::filesystem::path& path) { return PublicKeyFromBlob(ReadPublicKeyBlob(path)); }

void WriteNewKeyFiles(const std::filesystem::path& private_key, const std::filesystem::path& public_key, bool encrypt,
                      const KeyAccess& access, const NewKeyMaker& make) {
  RequireNewFile(private_key);
  RequireNewFile(public_key);
  if (std::filesystem::absolute(private_key) == std::filesystem::absolute(public_key)) {
    throw UsageError("--private-key and --public-key name the same file");
  }
  std::optional<Secret> passphrase;
  if (encrypt) {
    passphrase.emplace(ReadSecret(access.passphrase_file, "passphrase", "--passphrase-file",
                                  "New passphrase for " + private_key.string() + ": ", true));
  }
  ByteBuffer public_bytes;
  std::string preamble;
  ScopedPkey key = make(public_bytes, preamble);
  std::string pem = preamble + PrivateKeyPem(key.get(), passphrase ? std::optional<std::string_view>(passphrase->text())
                                                                   : std::nullopt);
  try {
    CreateNewFile(private_key, AsBytes(pem), 0600);
  } catch (...) {
    OPENSSL_cleanse(pem.data(), pem.size());
    throw;
  }
  OPENSSL_cleanse(pem.data(), pem.size());
  try {
    CreateNewFile(public_key, public_bytes, 0644);
  } catch (...) {
    // Without its public half the new private key is of no use: take it back.
    ::unlink(private_key.c_str());
    throw;
  }
}

void WriteNewKeyPair(const std::filesystem::path& private_key, const std::filesystem::path& public_key, bool encrypt,
                     const KeyAccess& access) {
  WriteNewKeyFiles(private_key, public_key, encrypt, access, [](ByteBuffer& public_bytes, std::string&) {
    ScopedPkey key = GenerateSigningKey();
    public_bytes = PublicKeyBlob(key.get());
    return key;
  });
}

}  // namespace qvs
