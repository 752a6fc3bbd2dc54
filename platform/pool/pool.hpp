#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace pool {

// The process-wide worker pool. Started on first use with default_size()
// threads; lives as long as the process. A child process created by fork()
// gets a fresh pool on its first use.
class ThreadPool {
 public:
  static ThreadPool& global();

  // KARVIK_NUM_THREADS when it holds a positive integer, else the number of
  // processors in the process's CPU affinity mask.
  static std::size_t default_size();

  std::size_t size() const { return threads_; }
  void submit(std::function<void()> task);

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

 private:
  explicit ThreadPool(std::size_t threads);
  void work();

  std::size_t threads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::function<void()>> queue_;  // FIFO: taken from the front
  std::size_t head_ = 0;
};

// Runs task(i) for every i in [0, n) on the global pool and hands the results
// to consume(i, result) on the calling thread in index order, each as soon as
// it and all earlier ones are ready. Besides the result being consumed, at
// most `window` tasks are running or waiting to be consumed. consume returns false to stop early; the call then waits for the
// tasks already started and returns. An exception from a task is rethrown here.
template <typename T, typename Task, typename Consume>
void ordered_map(std::size_t n, std::size_t window, Task&& task, Consume&& consume) {
  if (n == 0) return;
  if (window == 0) window = 1;
  struct Slot {
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
  };
  std::vector<Slot> slots(window);
  std::mutex mutex;
  std::condition_variable ready;
  std::size_t running = 0;
  ThreadPool& workers = ThreadPool::global();

  auto start = [&](std::size_t i) {
    {
      std::lock_guard lock(mutex);
      ++running;
    }
    workers.submit([&, i] {
      std::optional<T> value;
      std::exception_ptr error;
      try {
        value.emplace(task(i));
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard lock(mutex);
      Slot& slot = slots[i % window];
      slot.value = std::move(value);
      slot.error = error;
      slot.done = true;
      --running;
      ready.notify_all();
    });
  };

  std::size_t next = 0;
  for (; next < n && next < window; ++next) start(next);
  std::exception_ptr failure;
  for (std::size_t i = 0; i < n; ++i) {
    std::optional<T> value;
    {
      std::unique_lock lock(mutex);
      Slot& slot = slots[i % window];
      ready.wait(lock, [&] { return slot.done; });
      failure = slot.error;
      value = std::move(slot.value);
      slot = Slot{};
    }
    if (failure) break;
    if (next < n) start(next++);
    if (!consume(i, std::move(*value))) break;
  }
  std::unique_lock lock(mutex);
  ready.wait(lock, [&] { return running == 0; });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace pool
