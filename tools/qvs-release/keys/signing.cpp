#include "tools/qvs-release/keys/signing.h"

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/openssl_handles.h"
#include "tools/qvs-release/keys/signature_codec.h"

namespace qvs {

Sha256Digest Sha256Of(ByteView bytes) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    throw ToolError("SHA-256 failed: " + OpenSslReason());
  }
  return digest;
}

ByteBuffer SignDescriptor(EVP_PKEY* key, ByteView descriptor) {
  ScopedDigestContext context(EVP_MD_CTX_new());
  std::size_t length = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, descriptor.data(), descriptor.size()) != 1) {
    throw ToolError("cannot sign: " + OpenSslReason());
  }
  ByteBuffer der(length);
  if (EVP_DigestSign(context.get(), der.data(), &length, descriptor.data(), descriptor.size()) != 1) {
    throw ToolError("cannot sign: " + OpenSslReason());
  }
  der.resize(length);
  return DerToRawSignature(der);
}

bool SignatureMatches(EVP_PKEY* key, ByteView descriptor, ByteView signature) {
  if (signature.size() != kSignatureSize) {
    return false;
  }
  const ByteBuffer der = RawToDerSignature(signature);
  ScopedDigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1) {
    throw ToolError("cannot verify: " + OpenSslReason());
  }
  const int result = EVP_DigestVerify(context.get(), der.data(), der.size(), descriptor.data(), descriptor.size());
  // A refused signature leaves its reason queued; it is no error of the tool.
  OpenSslReason();
  return result == 1;
}

std::string KeyFingerprint(ByteView blob) { return "SHA256:" + ToDigestText(Sha256Of(blob)); }

}  // namespace qvs
