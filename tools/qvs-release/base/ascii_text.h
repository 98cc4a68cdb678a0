#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace qvs {

// `text` with A-Z as a-z and every other byte as it is: for names that protocols compare without
// case (HTTP header and directive names, host names), never for user text.
inline std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char character) {
    return character >= 'A' && character <= 'Z' ? char(character - 'A' + 'a') : character;
  });
  return lower;
}

}  // namespace qvs
