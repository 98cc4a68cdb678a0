#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace qvs {

// A passphrase or PIN in one buffer of fixed size that never grows, so no copy of it is ever left
// behind in a freed growth buffer; the whole buffer is wiped when the secret goes out of scope or
// is moved away.
class Secret {
 public:
  // The longest passphrase or PIN taken, in bytes.
  static constexpr std::size_t kCapacity = 1024;

  Secret();
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  Secret(Secret&& other) noexcept;
  Secret& operator=(Secret&& other) noexcept;
  ~Secret();

  std::string_view text() const { return {buffer_.get(), size_}; }
  // Adds one byte; false when the buffer is full.
  bool Append(char character);
  // Wipes the whole buffer.
  void Clear() noexcept;
  // The whole buffer, for a test that it was wiped.
  std::string_view storage() const { return {buffer_.get(), buffer_ ? kCapacity : 0}; }

 private:
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
};

// The secret from `file` (its first line, without the line end) when `file` is not empty, else asked
// on the controlling terminal with echo off. `what` names the secret in prompts and messages, e.g.
// "passphrase"; `option` is the option that gives it from a file, e.g. "--passphrase-file".
// `confirm` asks twice on the terminal and refuses two different answers. Raises ToolError.
Secret ReadSecret(const std::filesystem::path& file, const std::string& what, const std::string& option,
                  const std::string& prompt, bool confirm = false);

}  // namespace qvs
