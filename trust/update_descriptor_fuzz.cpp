// libFuzzer target for the descriptor parser. Beyond "does not crash" it checks that
// - a refusal is a LauncherFailure with one of the parser's eight sentences, nothing else;
// - an accepted record meets every value rule, its values stand verbatim on lines of the input,
//   its size is the decimal number of the size line, and the input holds exactly four fields;
// - the publisher's writer turns an accepted record into text that parses back to the same record.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "common/launcher_failure.h"
#include "trust/update_descriptor.h"

namespace {

constexpr std::string_view kSentences[] = {
    "The update descriptor format is not supported.",
    "The update descriptor is not newline-terminated.",
    "The update descriptor contains an invalid field.",
    "The update descriptor is incomplete.",
    "The update version is invalid.",
    "The update package path is outside the trusted support origin.",
    "The update package size is invalid.",
    "The update package hash is invalid.",
};

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

std::span<const std::uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void CheckAccepted(std::string_view input, const qvs::UpdateDescriptorRecord& record) {
  Check(input.starts_with(qvs::kDescriptorMagicLine), "accepted without the magic line");
  Check(input.ends_with('\n'), "accepted without a final LF");

  // Every non-empty line after the magic line is one of the four fields.
  const std::string_view body = input.substr(std::string_view(qvs::kDescriptorMagicLine).size());
  std::size_t fields = 0;
  for (std::size_t start = 0; start < body.size();) {
    const std::size_t end = body.find('\n', start);
    fields += end > start ? 1 : 0;
    start = end + 1;
  }
  Check(fields == 4, "accepted with other than four fields");

  // Each value stands on a line of its own, verbatim (the magic line ends in LF, so every field
  // line is preceded by one).
  const std::string text(input);
  Check(text.find("\nversion=" + record.version + "\n") != std::string::npos, "version not taken verbatim");
  Check(text.find("\npath=" + record.path + "\n") != std::string::npos, "path not taken verbatim");
  Check(text.find("\nsha256=" + record.sha256 + "\n") != std::string::npos, "sha256 not taken verbatim");

  // The size line's value, read by an independent decimal parser.
  const std::size_t size_line = text.find("\nsize=");
  Check(size_line != std::string::npos, "no size line");
  const std::size_t value_start = size_line + 6;
  const std::string_view size_text(text.data() + value_start, text.find('\n', value_start) - value_start);
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(size_text.data(), size_text.data() + size_text.size(), number);
  Check(error == std::errc() && end == size_text.data() + size_text.size() && number == record.size,
        "size differs from the decimal number of its line");

  Check(!record.version.empty() && record.version.size() <= 32, "version length");
  Check(record.path.size() >= 27 && record.path.size() <= 240, "path length");
  Check(record.size >= 1 && record.size <= qvs::kPackageSizeLimit, "size range");
  Check(record.sha256.size() == 64, "sha256 length");
  try {
    qvs::ValidateVersion(record.version);
    qvs::ValidatePackagePath(record.path);
    qvs::ValidatePackageSize(record.size);
    qvs::ValidateDigestText(record.sha256);
  } catch (const qvs::LauncherFailure&) {
    Check(false, "an accepted value breaks its own rule");
  }

  std::string written;
  try {
    written = qvs::WriteUpdateDescriptor(record);
  } catch (const qvs::LauncherFailure&) {
    Check(false, "the writer refuses an accepted record");
  }
  Check(qvs::ParseUpdateDescriptor(BytesOf(written)) == record, "written record parses to another record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  qvs::UpdateDescriptorRecord record;
  try {
    record = qvs::ParseUpdateDescriptor(std::span(data, size));
  } catch (const qvs::LauncherFailure& failure) {
    Check(std::find(std::begin(kSentences), std::end(kSentences), std::string_view(failure.what())) !=
              std::end(kSentences),
          "refusal with an unknown sentence");
    return 0;
  }
  CheckAccepted(input, record);
  return 0;
}
