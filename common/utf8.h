#pragma once

#include <string>
#include <string_view>

namespace qvs {

// UTF-16 to UTF-8 by the platform; an unpaired surrogate becomes U+FFFD. Raises std::length_error
// for a text of 2^31 code units or more, which the platform cannot take in one call.
std::string ToUtf8(std::wstring_view text);

}  // namespace qvs
