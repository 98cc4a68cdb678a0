#pragma once

#include <filesystem>
#include <string>

namespace qvs {

// A passphrase or PIN, wiped from memory when it goes out of scope.
class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string text) : text_(std::move(text)) {}
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  Secret(Secret&& other) noexcept;
  Secret& operator=(Secret&& other) noexcept;
  ~Secret();
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// The secret from `file` (its first line, without the line end) when `file` is not empty, else asked
// on the controlling terminal with echo off. `what` names the secret in prompts and messages, e.g.
// "passphrase"; `option` is the option that gives it from a file, e.g. "--passphrase-file".
// `confirm` asks twice on the terminal and refuses two different answers. Raises ToolError.
Secret ReadSecret(const std::filesystem::path& file, const std::string& what, const std::string& option,
                  const std::string& prompt, bool confirm = false);

}  // namespace qvs
