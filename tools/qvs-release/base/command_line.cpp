#include "tools/qvs-release/base/command_line.h"

#include <algorithm>
#include <vector>

#include "tools/qvs-release/base/tool_error.h"

namespace qvs {

std::string Nearest(std::string_view word, std::span<const std::string_view> candidates) {
  // Levenshtein distance; a typo is a letter or two away, anything further is no suggestion.
  const auto distance = [](std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
      row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
      std::size_t diagonal = row[0];
      row[0] = i;
      for (std::size_t j = 1; j <= b.size(); ++j) {
        const std::size_t above = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
        diagonal = above;
      }
    }
    return row[b.size()];
  };
  std::string nearest;
  std::size_t best = std::max<std::size_t>(2, word.size() / 3) + 1;
  for (const std::string_view candidate : candidates) {
    if (const std::size_t d = distance(word, candidate); d < best) {
      best = d;
      nearest = candidate;
    }
  }
  return nearest;
}

const std::string* CommandArguments::Find(std::string_view name) const {
  const auto found = options.find(name);
  return found == options.end() ? nullptr : &found->second;
}

const std::string& CommandArguments::Require(std::string_view name) const {
  if (const std::string* value = Find(name)) {
    return *value;
  }
  throw UsageError("missing --" + std::string(name));
}

CommandArguments ParseCommandArguments(std::span<const std::string> arguments, std::span<const std::string_view> known,
                                       std::span<const std::string_view> flags) {
  CommandArguments parsed;
  bool options_ended = false;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (options_ended || !argument.starts_with("-") || argument == "-") {
      parsed.positionals.push_back(argument);
      continue;
    }
    if (argument == "--") {
      options_ended = true;
      continue;
    }
    if (argument == "--help" || argument == "-h") {
      parsed.help = true;
      continue;
    }
    if (!argument.starts_with("--")) {
      throw UsageError("unknown option " + argument);
    }
    std::string name = argument.substr(2);
    const std::size_t equals = name.find('=');
    std::string value = equals == std::string::npos ? std::string() : name.substr(equals + 1);
    if (equals != std::string::npos) {
      name.resize(equals);
    }
    if (equals == std::string::npos && std::find(flags.begin(), flags.end(), name) != flags.end()) {
      if (!parsed.flags.insert(name).second) {
        throw UsageError("--" + name + " is given twice");
      }
      continue;
    }
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      std::vector<std::string_view> names(known.begin(), known.end());
      names.insert(names.end(), flags.begin(), flags.end());
      const std::string nearest = Nearest(name, names);
      throw UsageError("unknown option --" + name + (nearest.empty() ? "" : "; did you mean --" + nearest + "?"));
    }
    if (equals == std::string::npos) {
      if (index + 1 >= arguments.size()) {
        throw UsageError("--" + name + " needs a value");
      }
      value = arguments[++index];
    }
    // An empty value is an unset variable in the publisher's script, never a choice: "--site="
    // would otherwise mean the current folder.
    if (value.empty()) {
      throw UsageError("--" + name + " is empty");
    }
    if (!parsed.options.emplace(name, value).second) {
      throw UsageError("--" + name + " is given twice");
    }
  }
  return parsed;
}

}  // namespace qvs
