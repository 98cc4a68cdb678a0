#include "tools/qvs-release/base/interruption.h"

#include <iterator>
#include <string>

namespace qvs {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
volatile std::sig_atomic_t g_pending = 0;
bool g_ignoring = false;

extern "C" void NoteSignal(int signal_number) {
  if (g_pending == 0) {
    g_pending = signal_number;
  }
}

}  // namespace

Interrupted::Interrupted(int signal_number)
    : ToolError(std::string("interrupted by signal ") + std::to_string(signal_number) +
                (signal_number == SIGINT ? " (Ctrl-C)" : "")),
      signal_number_(signal_number) {}

InterruptionGuard::InterruptionGuard() {
  struct sigaction action {};
  action.sa_handler = NoteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting call returns with EINTR
  for (std::size_t index = 0; index < std::size(kSignals); ++index) {
    sigaction(kSignals[index], &action, &former_[index]);
  }
}

InterruptionGuard::~InterruptionGuard() {
  if (g_ignoring) {
    return;
  }
  for (std::size_t index = 0; index < std::size(kSignals); ++index) {
    sigaction(kSignals[index], &former_[index], nullptr);
  }
}

void ThrowIfInterrupted() {
  if (const int signal_number = g_pending) {
    throw Interrupted(signal_number);
  }
}

void IgnoreInterruptionsFromNowOn() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kSignals) {
    sigaction(signal_number, &action, nullptr);
  }
  g_ignoring = true;
  g_pending = 0;
}

void EndBySignal(int signal_number) {
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace qvs
