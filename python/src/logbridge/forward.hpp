#pragma once

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log/log.hpp"

// Carries the logging facade's records into Python's `logging`. Records may
// come from any thread; they are queued and emitted on a Python thread that
// holds the GIL, to the logger named after the record's target
// ("karvik_core::pipeline::executor" -> "karvik_core.pipeline.executor").
namespace logbridge {

struct QueuedRecord {
  logging::Level level;
  std::string target;
  std::string message;
  std::string file;
  unsigned line;
};

// Sets the facade's maximum level to the most detailed level that the named
// Python logger is enabled for. Needs the GIL; false with a Python exception
// set when the logger cannot be asked.
bool follow_logger_level(const char* logger_name);

// Emits the records to Python's logging. Needs the GIL. A failing handler or
// filter is reported as unraisable and does not stop the others; but a
// KeyboardInterrupt or SystemExit raised meanwhile (a signal handler's, say)
// stays set and ends the emitting.
void emit(const std::vector<QueuedRecord>& records);

// Installs the facade's sink (once per process) and queues records.
class RecordQueue {
 public:
  static RecordQueue& global();

  // Waits until records are queued, `done` is set or the deadline passes,
  // and takes the records; nullopt once `done` is set and none is left.
  std::optional<std::vector<QueuedRecord>> wait(const bool& done, std::chrono::steady_clock::time_point deadline);
  // Sets `done` and wakes the waiters.
  void finish(bool& done);

 private:
  RecordQueue();
  void push(const logging::Record& record);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<QueuedRecord> records_;
};

// How often run_forwarding_logs calls its `tick` while the work runs.
inline constexpr std::chrono::milliseconds kTickInterval{50};

// Runs `work` on a helper thread with the GIL released, while this thread
// (which holds the GIL on entry and on return) emits the queued records as
// they come and, after each batch of them and at least every kTickInterval,
// calls `tick()` with the GIL held. Returns what `work` returned; rethrows
// what it threw.
template <typename Work, typename Tick>
auto run_forwarding_logs(Work&& work, Tick&& tick) -> decltype(work()) {
  RecordQueue& queue = RecordQueue::global();
  std::optional<decltype(work())> result;
  std::exception_ptr failure;
  bool done = false;
  {
    struct ReleasedGil {
      PyThreadState* state = PyEval_SaveThread();
      ~ReleasedGil() { PyEval_RestoreThread(state); }
    } released;
    std::jthread runner([&] {
      try {
        result.emplace(work());
      } catch (...) {
        failure = std::current_exception();
      }
      queue.finish(done);
    });
    for (;;) {
      std::optional<std::vector<QueuedRecord>> records =
          queue.wait(done, std::chrono::steady_clock::now() + kTickInterval);
      if (!records) break;
      struct HeldGil {
        ReleasedGil& released;
        explicit HeldGil(ReleasedGil& r) : released(r) { PyEval_RestoreThread(released.state); }
        ~HeldGil() { released.state = PyEval_SaveThread(); }
      } held(released);
      emit(*records);
      tick();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace logbridge
