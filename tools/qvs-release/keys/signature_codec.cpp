#include "tools/qvs-release/keys/signature_codec.h"

#include <memory>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/openssl_handles.h"

namespace qvs {
namespace {

constexpr int kHalf = static_cast<int>(kSignatureSize / 2);

}  // namespace

ByteBuffer DerToRawSignature(ByteView der) {
  const unsigned char* cursor = der.data();
  ScopedEcdsaSignature signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
  if (!signature || cursor != der.data() + der.size()) {
    throw ToolError("not a DER ECDSA signature");
  }
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(signature.get(), &r, &s);
  ByteBuffer raw(kSignatureSize);
  if (BN_is_negative(r) || BN_is_negative(s) || BN_bn2binpad(r, raw.data(), kHalf) != kHalf ||
      BN_bn2binpad(s, raw.data() + kHalf, kHalf) != kHalf) {
    throw ToolError("the ECDSA signature does not fit 32 + 32 bytes");
  }
  return raw;
}

ByteBuffer RawToDerSignature(ByteView raw) {
  if (raw.size() != kSignatureSize) {
    throw ToolError("an r||s signature has 64 bytes, not " + std::to_string(raw.size()));
  }
  // unique_ptr, because the signature takes the numbers over once ECDSA_SIG_set0 succeeds.
  std::unique_ptr<BIGNUM, ReleaseWith<BN_free>> r(BN_bin2bn(raw.data(), kHalf, nullptr));
  std::unique_ptr<BIGNUM, ReleaseWith<BN_free>> s(BN_bin2bn(raw.data() + kHalf, kHalf, nullptr));
  ScopedEcdsaSignature signature(ECDSA_SIG_new());
  if (!r || !s || !signature || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) {
    throw ToolError("cannot build a DER signature: " + OpenSslReason());
  }
  r.release();
  s.release();
  const int length = i2d_ECDSA_SIG(signature.get(), nullptr);
  if (length <= 0) {
    throw ToolError("cannot encode a DER signature: " + OpenSslReason());
  }
  ByteBuffer der(static_cast<std::size_t>(length));
  unsigned char* cursor = der.data();
  i2d_ECDSA_SIG(signature.get(), &cursor);
  return der;
}

}  // namespace qvs
