#include "tools/qvs-release/base/curl_easy.h"

namespace qvs {

void AppendLine(ScopedList& list, const std::string& line) {
  curl_slist* longer = curl_slist_append(list.get(), line.c_str());
  if (longer == nullptr) {
    throw ToolError("libcurl could not hold the request headers");
  }
  if (!list) {
    list.reset(longer);  // the first node; later appends keep the same head
  }
}

std::string Printable(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string escaped;
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    if (byte >= 0x20 && byte < 0x7F) {
      escaped.push_back(character);
    } else {
      escaped += "\\x";
      escaped += {kDigits[byte >> 4], kDigits[byte & 0x0F]};
    }
  }
  return escaped;
}

}  // namespace qvs
