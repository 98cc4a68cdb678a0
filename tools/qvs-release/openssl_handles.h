#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <string>

#include "common/scope_guard.h"

namespace qvs {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct PkeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const noexcept { EVP_PKEY_CTX_free(context); }
};
struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct BignumFree {
  void operator()(BIGNUM* number) const noexcept { BN_free(number); }
};
struct EcdsaSignatureFree {
  void operator()(ECDSA_SIG* signature) const noexcept { ECDSA_SIG_free(signature); }
};

using ScopedPkey = ScopedHandle<EVP_PKEY*, PkeyFree>;
using ScopedPkeyContext = ScopedHandle<EVP_PKEY_CTX*, PkeyContextFree>;
using ScopedDigestContext = ScopedHandle<EVP_MD_CTX*, DigestContextFree>;
using ScopedBio = ScopedHandle<BIO*, BioFree>;
using ScopedBignum = ScopedHandle<BIGNUM*, BignumFree>;
using ScopedEcdsaSignature = ScopedHandle<ECDSA_SIG*, EcdsaSignatureFree>;

// OpenSSL's reason for the last failure (emptying its error queue), for appending to a message.
std::string OpenSslReason();

}  // namespace qvs
