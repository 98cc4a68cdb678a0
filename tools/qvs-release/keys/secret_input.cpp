#include "tools/qvs-release/keys/secret_input.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/scope_guard.h"
#include "tools/qvs-release/base/input_file.h"
#include "tools/qvs-release/base/interruption.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

constexpr std::uint64_t kSecretFileLimit = 4096;
constexpr int kSignalCheckMilliseconds = 100;

void WriteToTerminal(int tty, const std::string& text) { WriteAll(tty, AsBytes(text), "/dev/tty"); }

// One line from the terminal with echo off, read into `secret`. The terminal's settings are
// restored whatever happens: Ctrl-C, SIGTERM, SIGHUP and SIGQUIT only note their arrival while
// the prompt waits, and end it through Interrupted after the settings are back.
void AskOnTerminal(int tty, const std::string& prompt, Secret& secret) {
  const InterruptionGuard interruptions;
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
  WriteToTerminal(tty, prompt);
  secret.Clear();
  for (;;) {
    // Polled, so that a signal that came just before the read still ends the prompt.
    ThrowIfInterrupted();
    pollfd ready{tty, POLLIN, 0};
    if (::poll(&ready, 1, kSignalCheckMilliseconds) <= 0) {
      continue;  // nothing typed yet, or a signal: checked above
    }
    char c = 0;
    const ssize_t got = ::read(tty, &c, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (got <= 0 || c == '\n' || c == '\r') {
      break;
    }
    if (!secret.Append(c)) {
      secret.Clear();
      WriteToTerminal(tty, "\n");
      throw ToolError("longer than " + std::to_string(Secret::kCapacity) + " bytes");
    }
    OPENSSL_cleanse(&c, 1);
  }
  WriteToTerminal(tty, "\n");
}

}  // namespace

Secret::Secret() : buffer_(std::make_unique<char[]>(kCapacity)) {}

Secret::Secret(Secret&& other) noexcept : buffer_(std::move(other.buffer_)), size_(std::exchange(other.size_, 0)) {}

Secret& Secret::operator=(Secret&& other) noexcept {
  if (this != &other) {
    Clear();
    buffer_ = std::move(other.buffer_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Secret::~Secret() { Clear(); }

bool Secret::Append(char character) {
  if (!buffer_ || size_ == kCapacity) {
    return false;
  }
  buffer_[size_++] = character;
  return true;
}

void Secret::Clear() noexcept {
  if (buffer_) {
    OPENSSL_cleanse(buffer_.get(), kCapacity);
  }
  size_ = 0;
}

Secret ReadSecret(const std::filesystem::path& file, const std::string& what, const std::string& option,
                  const std::string& prompt, bool confirm) {
  Secret secret;
  if (!file.empty()) {
    // Read straight into the fixed buffer: the first line, without its end.
    InputFile input(file, what + " file");
    if (input.size() == 0) {
      input.Refuse("is empty");
    }
    if (input.size() > kSecretFileLimit) {
      input.Refuse("holds " + std::to_string(input.size()) + " bytes, more than the " +
                   std::to_string(kSecretFileLimit) + " it may have");
    }
    char c = 0;
    for (;;) {
      const ssize_t got = ::read(input.fd(), &c, 1);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        input.Refuse(std::string("could not be read: ") + std::strerror(errno));
      }
      if (got == 0 || c == '\n' || c == '\r') {
        break;
      }
      if (!secret.Append(c)) {
        throw ToolError(option + " " + file.string() + ": the " + what + " is longer than " +
                        std::to_string(Secret::kCapacity) + " bytes");
      }
    }
    OPENSSL_cleanse(&c, 1);
    if (secret.text().empty()) {
      throw ToolError(option + " " + file.string() + ": the file holds an empty " + what);
    }
    return secret;
  }
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) {
    throw ToolError("no terminal to ask the " + what + " on; give it with " + option + " FILE");
  }
  const FileDescriptor terminal(tty);
  try {
    AskOnTerminal(tty, prompt, secret);
  } catch (const Interrupted&) {
    throw;
  } catch (const ToolError& error) {
    throw ToolError("the " + what + " is " + error.what());
  }
  if (secret.text().empty()) {
    throw ToolError("no " + what + " given");
  }
  if (confirm) {
    Secret again;
    AskOnTerminal(tty, "Again: " + prompt, again);
    if (again.text() != secret.text()) {
      throw ToolError("the two " + what + "s differ; nothing was written");
    }
  }
  return secret;
}

}  // namespace qvs
