#include "interrupt.hpp"

#include <atomic>

namespace karvik_cli {
namespace {

std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

void note(int signal) { received.store(signal, std::memory_order_relaxed); }

}  // namespace

InterruptGuard::InterruptGuard() {
  received.store(0);
  struct sigaction action {};
  action.sa_handler = note;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // the second signal takes its default course
  sigaction(SIGINT, &action, &previous_int_);
  sigaction(SIGTERM, &action, &previous_term_);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &previous_int_, nullptr);
  sigaction(SIGTERM, &previous_term_, nullptr);
}

int InterruptGuard::signal_received() { return received.load(std::memory_order_relaxed); }

}  // namespace karvik_cli
