#include "store/resource_path.h"

namespace qvs {

std::wstring ToResourcePath(const std::string& package_path) {
  static constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";
  std::wstring resource;
  resource.reserve(package_path.size());
  for (const char character : package_path) {
    const auto byte = static_cast<unsigned char>(character);
    if (byte <= 0x7F) {
      resource.push_back(static_cast<wchar_t>(byte));
    } else {
      resource.push_back(L'%');
      resource.push_back(kHexDigits[byte >> 4]);
      resource.push_back(kHexDigits[byte & 0x0F]);
    }
  }
  return resource;
}

}  // namespace qvs
