#include "launcher/failure_text.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace qvs {
namespace {

bool IsAscii(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Each byte becomes the code unit of the same value.
std::wstring WidenBytes(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (const char c : text) {
    wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  }
  return wide;
}

// Decodes one sequence at `text[index]`; returns its length, or 0 when it is not valid UTF-8.
std::size_t DecodeUtf8Sequence(std::string_view text, std::size_t index, char32_t& code_point) noexcept {
  const auto byte = [&](std::size_t offset) { return static_cast<unsigned char>(text[index + offset]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - index < length) {
    return 0;
  }
  for (std::size_t offset = 1; offset < length; ++offset) {
    if ((byte(offset) & 0xC0u) != 0x80u) {
      return 0;
    }
    code_point = (code_point << 6) | (byte(offset) & 0x3Fu);
  }
  if (code_point < minimum || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

std::wstring DecodeUtf8(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (std::size_t index = 0; index < text.size();) {
    char32_t code_point = 0;
    const std::size_t length = DecodeUtf8Sequence(text, index, code_point);
    if (length == 0) {
      // Unreachable after IsValidUtf8; keeps the loop finite whatever the input.
      code_point = static_cast<unsigned char>(text[index]);
      ++index;
    } else {
      index += length;
    }
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      wide.push_back(static_cast<wchar_t>(0xD800 + (code_point >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF)));
    } else {
      wide.push_back(static_cast<wchar_t>(code_point));
    }
  }
  return wide;
}

std::wstring DecodeAnsi(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    return WidenBytes(text);
  }
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) {
    return WidenBytes(text);
  }
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  if (::MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), needed) != needed) {
    return WidenBytes(text);
  }
  return wide;
}

}  // namespace

bool IsValidUtf8(std::string_view text) noexcept {
  for (std::size_t index = 0; index < text.size();) {
    char32_t code_point = 0;
    const std::size_t length = DecodeUtf8Sequence(text, index, code_point);
    if (length == 0) {
      return false;
    }
    index += length;
  }
  return true;
}

std::wstring DecodeFailureText(std::string_view text) {
  if (IsAscii(text)) {
    return WidenBytes(text);
  }
  if (IsValidUtf8(text)) {
    return DecodeUtf8(text);
  }
  return DecodeAnsi(text);
}

}  // namespace qvs
