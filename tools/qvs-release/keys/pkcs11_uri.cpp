#include "tools/qvs-release/keys/pkcs11_uri.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

constexpr std::string_view kScheme = "pkcs11:";

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::string PercentDecode(std::string_view value, std::string_view uri) {
  std::string decoded;
  for (std::size_t index = 0; index < value.size(); ++index) {
    if (value[index] != '%') {
      decoded.push_back(value[index]);
      continue;
    }
    const int high = index + 2 < value.size() ? HexValue(value[index + 1]) : -1;
    const int low = index + 2 < value.size() ? HexValue(value[index + 2]) : -1;
    if (high < 0 || low < 0) {
      throw ToolError("PKCS#11 URI " + std::string(uri) + ": '%' must be followed by two hex digits");
    }
    decoded.push_back(static_cast<char>(high * 16 + low));
    index += 2;
  }
  return decoded;
}

}  // namespace

bool IsPkcs11Uri(std::string_view text) {
  return text.size() >= kScheme.size() && std::equal(kScheme.begin(), kScheme.end(), text.begin(), [](char a, char b) {
           return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
         });
}

Pkcs11Uri ParsePkcs11Uri(std::string_view text) {
  // The query may hold a PIN (pin-value=): it is never repeated in a message.
  const std::string uri(text.substr(0, text.find('?')));
  if (!IsPkcs11Uri(text)) {
    throw ToolError(uri + ": not a PKCS#11 URI (pkcs11:token=...;object=...)");
  }
  std::string_view path = text.substr(kScheme.size());
  if (const std::size_t query = path.find('?'); query != std::string_view::npos) {
    throw ToolError("PKCS#11 URI " + uri +
                    "?...: query attributes (not shown) are not taken; give the module with --pkcs11-module and the "
                    "PIN with --pin-file or on the terminal");
  }
  Pkcs11Uri parsed;
  bool type_seen = false;
  while (!path.empty()) {
    const std::size_t end = path.find(';');
    const std::string_view attribute = path.substr(0, end);
    path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    if (attribute.empty()) {
      continue;
    }
    const std::size_t equals = attribute.find('=');
    if (equals == std::string_view::npos) {
      throw ToolError("PKCS#11 URI " + uri + ": '" + std::string(attribute) + "' is not NAME=VALUE");
    }
    const std::string name(attribute.substr(0, equals));
    std::string value = PercentDecode(attribute.substr(equals + 1), uri);
    const auto take = [&](auto& field) {
      if (field) {
        throw ToolError("PKCS#11 URI " + uri + ": " + name + " is given twice");
      }
      field.emplace(value.begin(), value.end());
    };
    using TextAttribute = std::pair<std::string_view, std::optional<std::string>*>;
    const TextAttribute text_attributes[] = {{"token", &parsed.token},
                                             {"manufacturer", &parsed.manufacturer},
                                             {"model", &parsed.model},
                                             {"serial", &parsed.serial},
                                             {"object", &parsed.object}};
    const auto text = std::ranges::find(text_attributes, name, &TextAttribute::first);
    if (text != std::end(text_attributes)) {
      take(*text->second);
    } else if (name == "id") {
      take(parsed.id);
    } else if (name == "type") {
      if (type_seen || value != "private") {
        throw ToolError("PKCS#11 URI " + uri + ": type must be given once, as type=private (the signing key)");
      }
      type_seen = true;
    } else {
      throw ToolError("PKCS#11 URI " + uri + ": the attribute " + name +
                      " is not supported; name the key by token, manufacturer, model, serial, object, id and "
                      "type=private");
    }
  }
  return parsed;
}

}  // namespace qvs
