#include "tools/qvs-release/base/command_line.h"

#include <algorithm>

#include "tools/qvs-release/base/tool_error.h"

namespace qvs {

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
      throw UsageError("unknown option --" + name);
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
