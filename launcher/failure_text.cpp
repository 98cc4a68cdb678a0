#include "launcher/failure_text.h"

#include <windows.h>

#include <climits>
#include <optional>
#include <utility>

namespace qvs {
namespace {

// Each byte becomes the code unit of the same value.
std::wstring WidenBytes(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (const char c : text) {
    wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  }
  return wide;
}

// The code units of `text` in `code_page`, or 0 when it cannot be decoded so. With
// MB_ERR_INVALID_CHARS, CP_UTF8 refuses overlong forms, surrogates, values above U+10FFFF and
// truncated sequences.
int DecodedLength(UINT code_page, DWORD flags, std::string_view text) noexcept {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
    return 0;
  }
  return ::MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
}

std::optional<std::wstring> Decode(UINT code_page, DWORD flags, std::string_view text) {
  const int needed = DecodedLength(code_page, flags, text);
  if (needed <= 0) {
    return std::nullopt;
  }
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  if (::MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()), wide.data(), needed) !=
      needed) {
    return std::nullopt;
  }
  return wide;
}

}  // namespace

bool IsValidUtf8(std::string_view text) noexcept {
  return text.empty() || DecodedLength(CP_UTF8, MB_ERR_INVALID_CHARS, text) > 0;
}

std::wstring DecodeFailureText(std::string_view text) {
  if (std::optional<std::wstring> wide = Decode(CP_UTF8, MB_ERR_INVALID_CHARS, text)) {
    return *std::move(wide);
  }
  if (std::optional<std::wstring> wide = Decode(CP_ACP, 0, text)) {
    return *std::move(wide);
  }
  return WidenBytes(text);
}

}  // namespace qvs
