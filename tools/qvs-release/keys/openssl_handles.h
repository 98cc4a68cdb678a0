#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <string>

#include "common/scope_guard.h"

namespace qvs {

using ScopedPkey = ScopedHandle<EVP_PKEY*, ReleaseWith<EVP_PKEY_free>>;
using ScopedPkeyContext = ScopedHandle<EVP_PKEY_CTX*, ReleaseWith<EVP_PKEY_CTX_free>>;
using ScopedDigestContext = ScopedHandle<EVP_MD_CTX*, ReleaseWith<EVP_MD_CTX_free>>;
using ScopedBio = ScopedHandle<BIO*, ReleaseWith<BIO_free>>;
using ScopedBignum = ScopedHandle<BIGNUM*, ReleaseWith<BN_free>>;
using ScopedEcdsaSignature = ScopedHandle<ECDSA_SIG*, ReleaseWith<ECDSA_SIG_free>>;

// OpenSSL's reason for the last failure (emptying its error queue), for appending to a message.
std::string OpenSslReason();

}  // namespace qvs
