#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

namespace bench {

template <typename T>
struct ChildResult {
  T value;
  long peak_kb;  // the child's peak resident memory
};

// Runs `work` in a child process, with KARVIK_NUM_THREADS set to `threads`
// unless empty (the pool reads it once per process), and returns what it
// returned through a pipe. Exits when the child fails.
template <typename T, typename Work>
ChildResult<T> run_in_child(const std::string& threads, Work&& work) {
  static_assert(std::is_trivially_copyable_v<T>, "the result crosses a pipe as bytes");
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  const pid_t child = fork();
  if (child == 0) {
    if (!threads.empty()) setenv("KARVIK_NUM_THREADS", threads.c_str(), 1);
    const T value = work();
    if (write(fds[1], &value, sizeof value) != sizeof value) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  ChildResult<T> result{};
  const bool got = read(fds[0], &result.value, sizeof result.value) == sizeof result.value;
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "benchmark child failed\n");
    std::exit(1);
  }
  result.peak_kb = usage.ru_maxrss;
  return result;
}

}  // namespace bench
