#include "tools/qvs-release/keys/openssl_handles.h"

#include <openssl/err.h>

namespace qvs {

std::string OpenSslReason() {
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  if (error == 0) {
    return "unknown OpenSSL error";
  }
  char text[256] = {};
  ERR_error_string_n(error, text, sizeof(text));
  return text;
}

}  // namespace qvs
