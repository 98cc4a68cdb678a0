#include "common/utf8.h"

#include <windows.h>

#include <climits>
#include <stdexcept>

namespace qvs {

std::string ToUtf8(std::wstring_view text) {
  if (text.empty()) {
    return {};
  }
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    throw std::length_error("ToUtf8");
  }
  const int length = static_cast<int>(text.size());
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), needed, nullptr, nullptr);
  return utf8;
}

}  // namespace qvs
