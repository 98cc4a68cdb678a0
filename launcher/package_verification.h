#pragma once

#include "trust/trust_order.h"

namespace qvs {

// `--verify-package DESCRIPTOR SIGNATURE PACKAGE`: 0 when the package matches the signed
// descriptor, 3 when its size or digest differs, 2 for an argument count other than 5 (nothing
// is read then). Every other outcome raises. Reads only; writes and creates nothing.
int RunPackageVerification(int argc, const wchar_t* const* argv);

}  // namespace qvs
