#pragma once

#include <string>
#include <string_view>

namespace qvs {

// A failure's narrow text for the dialog. Our own sentences are ASCII and map byte for byte;
// bytes above 0x7F (only in the standard library's file-system errors: system messages and
// paths) are decoded as UTF-8 when the whole text is valid UTF-8, else in the ANSI code page.
std::wstring DecodeFailureText(std::string_view text);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated sequence.
bool IsValidUtf8(std::string_view text) noexcept;

}  // namespace qvs
