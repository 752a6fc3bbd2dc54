#pragma once

#include <csignal>

namespace karvik_cli {

// While it lives, the first SIGINT (Ctrl-C) or SIGTERM is only noted, for the
// running command to stop at its next check; a second one ends the process
// as it would without the guard.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // The signal that arrived, or 0.
  static int signal_received();

 private:
  struct sigaction previous_int_ {}, previous_term_ {};
};

// The exit status of a command stopped by `signal`, as the shell reports one killed by it.
inline int exit_status_for(int signal) { return 128 + signal; }

}  // namespace karvik_cli
