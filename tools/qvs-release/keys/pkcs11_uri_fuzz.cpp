// libFuzzer target for the PKCS#11 URI parser, which reads what a publisher types as --private-key.
// Beyond "does not crash" it checks that the URI's query (where a PIN may be written) never shapes
// a refusal's message, and that an accepted URI has the scheme and no query.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/pkcs11_uri.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// The refusal's message; nothing when the URI is accepted.
std::optional<std::string> MessageFor(std::string_view text) {
  try {
    qvs::ParsePkcs11Uri(text);
  } catch (const qvs::ToolError& error) {
    return error.what();
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t query = input.find('?');
  const std::optional<std::string> message = MessageFor(input);
  if (!message) {
    Check(qvs::IsPkcs11Uri(input), "accepted without the pkcs11: scheme");
    Check(query == std::string_view::npos, "accepted with a query");
    return 0;
  }
  if (query != std::string_view::npos) {
    // The query (where a PIN may stand) changes nothing in the message: another one of the same
    // length gives the same words.
    const std::string other = std::string(input.substr(0, query + 1)) + std::string(size - query - 1, 'Z');
    Check(MessageFor(other) == message, "the query shows in a message");
  }
  return 0;
}
