#pragma once

#include <string>

namespace qvs {

// The request path for a descriptor's package path: ASCII bytes widened one to one, each byte
// above 0x7F sent as "%XX" (upper-case hex), so the service receives exactly the signed bytes.
std::wstring ToResourcePath(const std::string& package_path);

}  // namespace qvs
