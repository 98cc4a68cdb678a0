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

void PrepareTransfer(CURL* handle, const std::optional<std::filesystem::path>& ca_file, TransferBounds bounds,
                     char* error, curl_write_callback write, void* sink) {
  SetCurlOption(handle, CURLOPT_FOLLOWLOCATION, 0L);
  SetCurlOption(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  SetCurlOption(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (ca_file) {
    SetCurlOption(handle, CURLOPT_CAINFO, ca_file->c_str());
    SetCurlOption(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  }
  SetCurlOption(handle, CURLOPT_CONNECTTIMEOUT_MS, bounds.connect_ms);
  SetCurlOption(handle, CURLOPT_TIMEOUT_MS, bounds.total_ms);
  SetCurlOption(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  SetCurlOption(handle, CURLOPT_LOW_SPEED_TIME, bounds.stall_seconds);
  SetCurlOption(handle, CURLOPT_NOSIGNAL, 1L);
  SetCurlOption(handle, CURLOPT_ERRORBUFFER, error);
  SetCurlOption(handle, CURLOPT_WRITEFUNCTION, write);
  SetCurlOption(handle, CURLOPT_WRITEDATA, sink);
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
