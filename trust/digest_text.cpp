#include "trust/digest_text.h"

namespace qvs {

std::string ToDigestText(const Sha256Digest& digest) {
  static constexpr char kAlphabet[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    text += kAlphabet[byte >> 4];
    text += kAlphabet[byte & 0x0F];
  }
  return text;
}

}  // namespace qvs
