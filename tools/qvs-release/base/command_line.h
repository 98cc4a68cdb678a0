#pragma once

#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qvs {

// One command's arguments: "--name VALUE" (or "--name=VALUE") options and positional arguments.
struct CommandArguments {
  std::map<std::string, std::string, std::less<>> options;
  std::vector<std::string> positionals;
  std::set<std::string, std::less<>> flags;  // options without a value, e.g. "--encrypt"
  bool help = false;

  // The value of a required option; raises UsageError when it is absent.
  const std::string& Require(std::string_view name) const;
  const std::string* Find(std::string_view name) const;
};

// Parses the arguments after the command name. Every option takes one non-empty value; only the
// names in `known` are accepted, each at most once; the names in `flags` take no value. "--" ends
// the options. Raises UsageError.
CommandArguments ParseCommandArguments(std::span<const std::string> arguments, std::span<const std::string_view> known,
                                       std::span<const std::string_view> flags = {});

// The candidate a mistyped `word` most likely meant, or empty when none is close.
std::string Nearest(std::string_view word, std::span<const std::string_view> candidates);

}  // namespace qvs
