#include "tools/qvs-release/s3/credentials.h"

#include <openssl/crypto.h>
#include <sys/stat.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string_view>

#include "tools/qvs-release/base/input_file.h"
#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

constexpr std::uint64_t kCredentialsFileLimit = 1 << 20;

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The "name = value" lines of one [section] of an INI file; comments start with '#' or ';'.
std::map<std::string, std::string> ReadSection(std::string_view text, std::string_view section, bool& found) {
  std::map<std::string, std::string> values;
  bool inside = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#' || line.front() == ';') {
      continue;
    }
    if (line.front() == '[' && line.back() == ']') {
      inside = Trim(line.substr(1, line.size() - 2)) == section;
      found = found || inside;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (inside && equals != std::string_view::npos) {
      values[std::string(Trim(line.substr(0, equals)))] = std::string(Trim(line.substr(equals + 1)));
    }
  }
  return values;
}

AwsCredentials FromFile(const std::string& file, const std::string* profile_option) {
  const char* profile_variable = std::getenv("AWS_PROFILE");
  const std::string profile = profile_option != nullptr                                  ? *profile_option
                              : profile_variable != nullptr && *profile_variable != '\0' ? profile_variable
                                                                                         : "default";
  ByteBuffer bytes = ReadInputFile(file, "credentials file", kCredentialsFileLimit);
  struct stat status {};
  if (::stat(file.c_str(), &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    std::cerr << "warning: " << file << ": other users can read these credentials (chmod 600 " << file << ")\n";
  }
  bool found = false;
  std::map<std::string, std::string> values =
      ReadSection(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), profile, found);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  if (!found) {
    throw ToolError(file + ": has no profile [" + profile + "]");
  }
  AwsCredentials credentials{values["aws_access_key_id"], values["aws_secret_access_key"], values["aws_session_token"]};
  for (auto& [name, value] : values) {
    OPENSSL_cleanse(value.data(), value.size());
  }
  if (credentials.access_key_id.empty() || credentials.secret_access_key.empty()) {
    throw ToolError(file + ": profile [" + profile + "] needs aws_access_key_id and aws_secret_access_key");
  }
  return credentials;
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

}  // namespace

AwsCredentials ReadAwsCredentials(const std::string* file, const std::string* profile) {
  if (file != nullptr) {
    return FromFile(*file, profile);
  }
  if (profile != nullptr) {
    throw UsageError("--profile names a section of the file given with --credentials FILE");
  }
  AwsCredentials credentials{Variable("AWS_ACCESS_KEY_ID"), Variable("AWS_SECRET_ACCESS_KEY"),
                             Variable("AWS_SESSION_TOKEN")};
  if (credentials.access_key_id.empty() || credentials.secret_access_key.empty()) {
    throw ToolError(
        "no credentials for the object store: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (and "
        "AWS_SESSION_TOKEN for temporary ones), or name a credentials file with --credentials FILE");
  }
  return credentials;
}

}  // namespace qvs
