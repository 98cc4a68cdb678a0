#include "tools/qvs-release/secret_input.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/scope_guard.h"
#include "tools/qvs-release/input_file.h"
#include "tools/qvs-release/tool_error.h"

namespace qvs {
namespace {

constexpr std::uint64_t kSecretFileLimit = 4096;

void Wipe(std::string& text) {
  if (!text.empty()) {
    OPENSSL_cleanse(text.data(), text.size());
  }
  text.clear();
}

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      throw ToolError("cannot write to the terminal: " + std::string(std::strerror(errno)));
    }
    done += static_cast<std::size_t>(written);
  }
}

// One line from the terminal with echo off; the terminal's settings are restored whatever happens.
Secret AskOnTerminal(int tty, const std::string& prompt) {
  termios saved{};
  const bool is_terminal = ::tcgetattr(tty, &saved) == 0;
  if (is_terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ICANON;
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  ScopeExit restore([&] {
    if (is_terminal) {
      ::tcsetattr(tty, TCSAFLUSH, &saved);
    }
  });
  WriteAll(tty, prompt);
  std::string line;
  for (;;) {
    char c = 0;
    const ssize_t got = ::read(tty, &c, 1);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0 || c == '\n' || c == '\r') {
      break;
    }
    line.push_back(c);
  }
  WriteAll(tty, "\n");
  Secret secret(std::move(line));
  Wipe(line);
  return secret;
}

}  // namespace

Secret::Secret(Secret&& other) noexcept : text_(std::move(other.text_)) { Wipe(other.text_); }

Secret& Secret::operator=(Secret&& other) noexcept {
  if (this != &other) {
    Wipe(text_);
    text_ = std::move(other.text_);
    Wipe(other.text_);
  }
  return *this;
}

Secret::~Secret() { Wipe(text_); }

Secret ReadSecret(const std::filesystem::path& file, const std::string& what, const std::string& option,
                  const std::string& prompt, bool confirm) {
  if (!file.empty()) {
    ByteBuffer bytes = ReadInputFile(file, what + " file", kSecretFileLimit);
    std::string text(bytes.begin(), bytes.end());
    OPENSSL_cleanse(bytes.data(), bytes.size());
    const std::size_t end = text.find_first_of("\r\n");
    Secret secret(text.substr(0, end));
    Wipe(text);
    if (secret.text().empty()) {
      throw ToolError(option + " " + file.string() + ": the file holds an empty " + what);
    }
    return secret;
  }
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) {
    throw ToolError("no terminal to ask the " + what + " on; give it with " + option + " FILE");
  }
  ScopeExit close_tty([&] { ::close(tty); });
  Secret secret = AskOnTerminal(tty, prompt);
  if (secret.text().empty()) {
    throw ToolError("no " + what + " given");
  }
  if (confirm && AskOnTerminal(tty, "Again: " + prompt).text() != secret.text()) {
    throw ToolError("the two " + what + "s differ; nothing was written");
  }
  return secret;
}

}  // namespace qvs
