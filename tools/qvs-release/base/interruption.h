#pragma once

#include <csignal>

#include "tools/qvs-release/base/tool_error.h"

namespace qvs {

// Ctrl-C, SIGTERM, SIGHUP or SIGQUIT arrived while a site was being changed. Raised at the next safe point,
// so that what the tool had begun is cleaned up on the way out.
class Interrupted : public ToolError {
 public:
  explicit Interrupted(int signal_number);
  int signal_number() const { return signal_number_; }

 private:
  int signal_number_;
};

// While it lives, SIGINT, SIGTERM, SIGHUP and SIGQUIT only note their arrival: a blocking call returns
// early (EINTR) and ThrowIfInterrupted raises Interrupted. Restores the former handlers.
class InterruptionGuard {
 public:
  InterruptionGuard();
  ~InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;

 private:
  struct sigaction former_[4];
};

void ThrowIfInterrupted();

// From the moment a change is decided it is completed and reported whatever arrives: these signals
// are ignored from now until the process ends, and one noted already is dropped.
void IgnoreInterruptionsFromNowOn();

// Ends the process by `signal_number` with its default action, as the shell expects of a program
// stopped by Ctrl-C. Returns only if the signal's default is to carry on.
void EndBySignal(int signal_number);

}  // namespace qvs
