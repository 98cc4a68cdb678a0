// libFuzzer target for the launcher's proof and checkpoint parsing. Beyond "does not crash" it
// checks that
// - a parsed proof's views lie inside the input, its checkpoint text is what precedes the last
//   blank line of the input's tail, and it holds at least one signature;
// - a DER signature accepted as r||s is the one strict DER encoding of that r||s;
// - the whole check refuses with the log's sentence alone, and accepts only a proof whose
//   inclusion holds (checked with a stand-in hash and a check that accepts every signature).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/launcher_failure.h"
#include "trust/log_proof.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Not SHA-256: any fixed function of every input byte serves the arithmetic.
qvs::Sha256Digest StandInHash(qvs::ByteView bytes) {
  qvs::Sha256Digest digest{};
  std::uint64_t state = 1469598103934665603ull;
  for (const std::uint8_t byte : bytes) {
    state = (state ^ byte) * 1099511628211ull;
  }
  for (std::size_t i = 0; i < digest.size(); ++i) {
    state = (state ^ i) * 1099511628211ull;
    digest[i] = static_cast<std::uint8_t>(state >> 56);
  }
  return digest;
}

qvs::ByteBuffer StrictDer(qvs::ByteView raw) {
  qvs::ByteBuffer body;
  for (int half = 0; half < 2; ++half) {
    qvs::ByteView number = raw.subspan(static_cast<std::size_t>(half) * 32, 32);
    while (number.size() > 1 && number[0] == 0) {
      number = number.subspan(1);
    }
    const bool pad = (number[0] & 0x80) != 0;
    body.push_back(0x02);
    body.push_back(static_cast<std::uint8_t>(number.size() + (pad ? 1 : 0)));
    if (pad) {
      body.push_back(0);
    }
    body.insert(body.end(), number.begin(), number.end());
  }
  qvs::ByteBuffer der = {0x30, static_cast<std::uint8_t>(body.size())};
  der.insert(der.end(), body.begin(), body.end());
  return der;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const qvs::ByteView input(data, size);
  const char* const begin = reinterpret_cast<const char*>(data);
  if (const std::optional<qvs::LogProof> proof = qvs::ParseLogProof(input)) {
    Require(proof->checkpoint_text.data() >= begin &&
            proof->checkpoint_text.data() + proof->checkpoint_text.size() <= begin + size);
    Require(!proof->signatures.empty() && proof->hashes.size() <= 63 && !proof->origin.empty());
    const std::string_view tail(proof->checkpoint_text.data(), begin + size - proof->checkpoint_text.data());
    Require(tail.rfind("\n\n", tail.size() - 2) + 1 == proof->checkpoint_text.size());
    for (const qvs::NoteSignature& signature : proof->signatures) {
      if (const std::optional<qvs::ByteBuffer> raw = qvs::DerSignatureToRaw(signature.signature)) {
        Require(raw->size() == 64 && StrictDer(*raw) == signature.signature);
      }
    }
  }
  if (const std::optional<qvs::ByteBuffer> raw = qvs::DerSignatureToRaw(input)) {
    Require(StrictDer(*raw) == qvs::ByteBuffer(input.begin(), input.end()));
  }

  // The leaf the input's first bytes name, so that some inputs prove it.
  qvs::Sha256Digest leaf{};
  for (std::size_t i = 0; i < leaf.size() && i < size; ++i) {
    leaf[i] = data[i];
  }
  qvs::LogTrust trust;
  trust.origin = "example.com/log";
  trust.keys.push_back({0x01020304, [](qvs::ByteView, qvs::ByteView) { return true; }});
  try {
    const std::uint64_t tree = qvs::VerifyLogProof(input, leaf, trust, StandInHash);
    const std::optional<qvs::LogProof> proof = qvs::ParseLogProof(input);
    Require(proof && proof->tree_size == tree && proof->index + 1 == tree && proof->origin == trust.origin);
    Require(qvs::VerifyLogInclusion(proof->index, tree, leaf, proof->hashes, proof->root, StandInHash));
  } catch (const qvs::LauncherFailure& failure) {
    Require(std::string_view(failure.what()) == "The support update is not in the release log.");
  }
  return 0;
}
