#include "pool/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

namespace pool {
namespace {

ThreadPool* g_pool = nullptr;
std::once_flag g_atfork_once;
std::mutex g_create_mutex;
thread_local bool t_on_worker = false;

// In a forked child the pool's threads do not exist and its mutex may be held
// by one of them: forget it (leaked on purpose) and start afresh on next use.
void forget_pool_in_child() {
  g_pool = nullptr;
  new (&g_create_mutex) std::mutex;
}

}  // namespace

ThreadPool& ThreadPool::global() {
  std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
  std::lock_guard lock(g_create_mutex);
  if (g_pool == nullptr) g_pool = new ThreadPool(default_size());
  return *g_pool;
}

std::size_t ThreadPool::default_size() {
  if (const char* env = std::getenv("KARVIK_NUM_THREADS")) {
    char* end = nullptr;
    const long value = std::strtol(env, &end, 10);
    if (end != env && *end == '\0' && value > 0) return static_cast<std::size_t>(value);
  }
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

// Starts as many of the threads as the system allows. Without any, the pool
// cannot work: that throws, and since no thread holds `this`, nothing dangles.
ThreadPool::ThreadPool(std::size_t threads) : threads_(0) {
  for (; threads_ < threads; ++threads_) {
    try {
      std::thread([this] { work(); }).detach();
    } catch (const std::system_error&) {
      if (threads_ == 0) throw;
      break;
    }
  }
}

void ThreadPool::submit(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
  }
  wake_.notify_one();
}

bool ThreadPool::on_worker_thread() { return t_on_worker; }

void ThreadPool::work() {
  t_on_worker = true;
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return head_ < queue_.size(); });
      task = std::move(queue_[head_++]);
      if (head_ == queue_.size()) {
        queue_.clear();
        head_ = 0;
      }
    }
    task();
  }
}

}  // namespace pool
