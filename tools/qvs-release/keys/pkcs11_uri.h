#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/byte_buffer.h"

namespace qvs {

// A key in a token, named by a "pkcs11:" URI (RFC 7512), e.g. "pkcs11:token=release;object=update-key".
// Values are percent-decoded; an attribute that is absent matches anything.
struct Pkcs11Uri {
  std::optional<std::string> token;         // the token's label
  std::optional<std::string> manufacturer;  // the token's manufacturer ID
  std::optional<std::string> model;         // the token's model
  std::optional<std::string> serial;        // the token's serial number
  std::optional<std::string> object;        // the key's label (CKA_LABEL)
  std::optional<ByteBuffer> id;             // the key's CKA_ID

  bool operator==(const Pkcs11Uri&) const = default;
};

// Whether --private-key names a key in a token rather than a file.
bool IsPkcs11Uri(std::string_view text);

// Raises ToolError naming the fault: no "pkcs11:" scheme, a bad percent escape, an attribute given
// twice, a type other than "private", or an attribute this tool does not match on (it would otherwise
// be ignored and could pick another key than the publisher meant). Query attributes (module, PIN)
// are refused too: those come from --pkcs11-module and --pin-file.
Pkcs11Uri ParsePkcs11Uri(std::string_view text);

}  // namespace qvs
