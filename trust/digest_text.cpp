#include "trust/digest_text.h"

namespace qvs {

std::string ToHexText(ByteView bytes) {
  static constexpr char kAlphabet[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text += kAlphabet[byte >> 4];
    text += kAlphabet[byte & 0x0F];
  }
  return text;
}

std::string ToDigestText(const Sha256Digest& digest) { return ToHexText(digest); }

}  // namespace qvs
