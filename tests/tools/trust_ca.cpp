// trust-ca.exe CERT.der: adds a CA certificate to the current user's Root store, so that the
// Wine prefix it runs in (and nothing else) trusts the loopback test servers.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/scope_guard.h"

namespace {

struct CloseStore {
  void operator()(HCERTSTORE store) const noexcept { ::CertCloseStore(store, 0); }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: trust-ca CERT.der\n", stderr);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::vector<char> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file || der.empty()) {
    std::fputs("trust-ca: cannot read the certificate\n", stderr);
    return 1;
  }
  const qvs::ScopedHandle<HCERTSTORE, CloseStore> store(
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
  if (!store) {
    std::fprintf(stderr, "trust-ca: CertOpenStore failed (%lu)\n", ::GetLastError());
    return 1;
  }
  if (!::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    std::fprintf(stderr, "trust-ca: CertAddEncodedCertificateToStore failed (%lu)\n", ::GetLastError());
    return 1;
  }
  return 0;
}
