#include "trust/update_descriptor.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <string_view>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"

namespace qvs {
namespace {

constexpr std::size_t kMagicLength = sizeof(kDescriptorMagicLine) - 1;
constexpr std::size_t kVersionMaxLength = 32;
constexpr std::size_t kPathMaxLength = 240;
constexpr std::size_t kDigestTextLength = 64;

[[noreturn]] void Refuse(const char* sentence) { throw LauncherFailure(sentence); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The whole text as decimal digits (no sign, no space) into an unsigned 64-bit number; a number
// too large is out of range, never wrapped to a small one. `number` counts only when true.
bool ParseSize(std::string_view text, std::uint64_t& number) {
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  return error == std::errc() && stop == end;
}

}  // namespace

void ValidateVersion(const std::string& version) {
  const bool valid =
      !version.empty() && version.size() <= kVersionMaxLength &&
      std::all_of(version.begin(), version.end(), [](char c) { return IsDigit(c) || c == '-' || c == '.'; });
  if (!valid) {
    Refuse(kVersionInvalid);
  }
}

void ValidatePackagePath(const std::string& path) {
  const bool valid =
      path.starts_with(kPackagePathPrefix) && path.find("..") == std::string::npos && path.size() <= kPathMaxLength;
  if (!valid) {
    Refuse(kPackagePathOutsideOrigin);
  }
}

void ValidatePackageSize(std::uint64_t size) {
  if (size == 0 || size > kPackageSizeLimit) {
    Refuse(kPackageSizeInvalid);
  }
}

void ValidateDigestText(const std::string& sha256) {
  const bool valid = sha256.size() == kDigestTextLength && std::all_of(sha256.begin(), sha256.end(), [](char c) {
                       return IsDigit(c) || (c >= 'a' && c <= 'f');
                     });
  if (!valid) {
    Refuse(kPackageHashInvalid);
  }
}

UpdateDescriptorRecord ParseUpdateDescriptor(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.size() < kMagicLength || text.substr(0, kMagicLength) != kDescriptorMagicLine) {
    Refuse(kDescriptorFormatUnsupported);
  }

  std::map<std::string, std::string, std::less<>> fields;
  std::size_t offset = kMagicLength;
  while (offset < text.size()) {
    const std::size_t line_end = text.find('\n', offset);
    if (line_end == std::string_view::npos) {
      Refuse(kDescriptorNotNewlineTerminated);
    }
    const std::string_view line = text.substr(offset, line_end - offset);
    offset = line_end + 1;
    if (line.empty()) {
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      Refuse(kDescriptorFieldInvalid);
    }
    const auto [entry, inserted] =
        fields.emplace(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
    if (!inserted) {
      Refuse(kDescriptorFieldInvalid);
    }
  }

  constexpr std::string_view kKeys[] = {"version", "path", "size", "sha256"};
  if (fields.size() != std::size(kKeys) ||
      !std::all_of(std::begin(kKeys), std::end(kKeys), [&](std::string_view key) { return fields.contains(key); })) {
    Refuse(kDescriptorIncomplete);
  }

  UpdateDescriptorRecord record;
  ValidateVersion(fields.find("version")->second);
  ValidatePackagePath(fields.find("path")->second);
  if (!ParseSize(fields.find("size")->second, record.size)) {
    Refuse(kPackageSizeInvalid);
  }
  ValidatePackageSize(record.size);
  ValidateDigestText(fields.find("sha256")->second);

  record.version = std::move(fields.find("version")->second);
  record.path = std::move(fields.find("path")->second);
  record.sha256 = std::move(fields.find("sha256")->second);
  return record;
}

std::string WriteUpdateDescriptor(const UpdateDescriptorRecord& record) {
  ValidateVersion(record.version);
  ValidatePackagePath(record.path);
  // The path rule admits any byte, but an LF would split the path line in two and the text would
  // no longer parse back to this record. Checked with the path, so the first fault in the parse's
  // order (version, path, size, hash) is the one reported.
  if (record.path.find('\n') != std::string::npos) {
    Refuse(kPackagePathOutsideOrigin);
  }
  ValidatePackageSize(record.size);
  ValidateDigestText(record.sha256);
  std::string text = kDescriptorMagicLine;
  text += "version=" + record.version + "\n";
  text += "path=" + record.path + "\n";
  text += "size=" + std::to_string(record.size) + "\n";
  text += "sha256=" + record.sha256 + "\n";
  return text;
}

}  // namespace qvs
