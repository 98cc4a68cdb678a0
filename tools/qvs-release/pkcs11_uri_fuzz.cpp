// libFuzzer target for the PKCS#11 URI parser, which reads what a publisher types as --private-key.
// Beyond "does not crash" it checks that a refusal is a ToolError that never repeats the URI's
// query (where a PIN may be written), and that an accepted URI has the scheme and no query.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/qvs-release/pkcs11_uri.h"
#include "tools/qvs-release/tool_error.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t query = input.find('?');
  try {
    qvs::ParsePkcs11Uri(input);
  } catch (const qvs::ToolError& error) {
    // A query long enough to be told apart, and found nowhere before it, must not be in the message.
    if (query != std::string_view::npos && size - query > 8) {
      const std::string_view secret = input.substr(query + 1);
      Check(input.substr(0, query).find(secret) != std::string_view::npos ||
                std::string_view(error.what()).find(secret) == std::string_view::npos,
            "the query is repeated in a message");
    }
    return 0;
  }
  Check(qvs::IsPkcs11Uri(input), "accepted without the pkcs11: scheme");
  Check(query == std::string_view::npos, "accepted with a query");
  return 0;
}
