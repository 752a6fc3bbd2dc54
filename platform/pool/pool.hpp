#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
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
  // Whether the calling thread is one of a pool's workers.
  static bool on_worker_thread();

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

// Tasks run on the global pool whose results are taken in the order the
// tasks were started, each as soon as it is ready. The owner bounds how many
// are in flight by checking size() before start(). Lives on one thread; its
// destruction waits for the tasks still running. Started from a worker of
// the pool, a task runs at once on that thread, so that waiting for it can
// never wait for the waiting worker itself.
template <typename T>
class OrderedTasks {
 public:
  OrderedTasks() = default;
  OrderedTasks(const OrderedTasks&) = delete;
  OrderedTasks& operator=(const OrderedTasks&) = delete;
  ~OrderedTasks() {
    for (auto& slot : slots_) slot->wait();
  }

  // Started and not yet taken.
  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }

  template <typename Task>
  void start(Task&& task) {
    auto slot = std::make_shared<Slot>();
    slots_.push_back(slot);
    auto run = [slot, task = std::forward<Task>(task)]() mutable {
      std::optional<T> value;
      std::exception_ptr error;
      try {
        value.emplace(task());
      } catch (...) {
        error = std::current_exception();
      }
      slot->set(std::move(value), error);
    };
    if (ThreadPool::on_worker_thread()) {
      run();
    } else {
      ThreadPool::global().submit(std::move(run));
    }
  }

  // Whether the oldest task has finished, so that take() will not wait.
  bool front_ready() const { return !slots_.empty() && slots_.front()->ready(); }

  // The oldest task's result, waiting for it; its exception is rethrown here.
  T take() {
    std::shared_ptr<Slot> slot = std::move(slots_.front());
    slots_.pop_front();
    return slot->take();
  }

 private:
  class Slot {
   public:
    void set(std::optional<T> value, std::exception_ptr error) {
      std::lock_guard lock(mutex_);
      value_ = std::move(value);
      error_ = error;
      done_ = true;
      ready_.notify_all();
    }
    bool ready() {
      std::lock_guard lock(mutex_);
      return done_;
    }
    void wait() {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return done_; });
    }
    T take() {
      wait();
      if (error_) std::rethrow_exception(error_);
      return std::move(*value_);
    }

   private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::optional<T> value_;
    std::exception_ptr error_;
    bool done_ = false;
  };

  std::deque<std::shared_ptr<Slot>> slots_;
};

// Runs task(i) for every i in [0, n) on the global pool and hands the results
// to consume(i, result) on the calling thread in index order, each as soon as
// it and all earlier ones are ready. Besides the result being consumed, at
// most `window` tasks are running or waiting to be consumed. consume returns
// false to stop early; the call then waits for the tasks already started and
// returns. An exception from a task is rethrown here.
template <typename T, typename Task, typename Consume>
void ordered_map(std::size_t n, std::size_t window, Task&& task, Consume&& consume) {
  if (window == 0) window = 1;
  OrderedTasks<T> tasks;
  std::size_t next = 0;
  const auto fill = [&] {
    for (; next < n && tasks.size() < window; ++next) tasks.start([&task, index = next] { return task(index); });
  };
  fill();
  for (std::size_t i = 0; i < n; ++i) {
    T value = tasks.take();
    fill();
    if (!consume(i, std::move(value))) return;
  }
}

}  // namespace pool
