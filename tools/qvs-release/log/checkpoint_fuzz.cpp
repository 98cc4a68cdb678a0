// libFuzzer target for what a monitor reads from a log it does not trust: the checkpoint note,
// a verifier key's text and an entry bundle. Beyond "does not crash" it checks that an accepted
// checkpoint is the note's own origin and size, and that an
// accepted bundle encodes back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/log/checkpoint.h"
#include "tools/qvs-release/log/merkle_tree.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// A fixed verifier: fuzzed notes are opened against it.
const qvs::LogVerifier& Verifier() {
  static const qvs::LogVerifier verifier = qvs::ParseLogVerifier(
      "updates.example.com/downloads/client/log+39f30a1e+AeoN1jubCBdp/nfUl5hl5PyMkQ1ob7Tx6PrToO3tFa2B");
  return verifier;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const qvs::ByteView bytes(data, size);
  try {
    const qvs::Checkpoint checkpoint = qvs::OpenCheckpoint(bytes, Verifier());
    // What was accepted is what the note says, origin and size first (the signed body).
    const std::string head = checkpoint.origin + "\n" + std::to_string(checkpoint.size) + "\n";
    Check(size >= head.size() && std::equal(head.begin(), head.end(), data), "an opened checkpoint's body");
  } catch (const qvs::ToolError&) {
  }
  try {
    const qvs::LogVerifier verifier =
        qvs::ParseLogVerifier(std::string_view(reinterpret_cast<const char*>(data), size));
    Check(qvs::ParseLogVerifier(verifier.Text()).public_key == verifier.public_key, "verifier text round trip");
  } catch (const qvs::ToolError&) {
  }
  for (std::uint64_t width : {1u, 2u, 3u}) {
    try {
      const std::vector<qvs::ByteBuffer> entries = qvs::ParseEntryBundle(bytes, width, "bundle");
      const qvs::ByteBuffer again = qvs::EncodeEntryBundle(entries);
      Check(again.size() == size && std::equal(again.begin(), again.end(), data), "bundle round trip");
    } catch (const qvs::ToolError&) {
    }
  }
  return 0;
}
