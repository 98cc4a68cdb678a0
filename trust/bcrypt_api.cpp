#include "trust/bcrypt_api.h"

namespace qvs {

const BCryptApi& SystemBCrypt() {
  static const BCryptApi api;
  return api;
}

}  // namespace qvs
