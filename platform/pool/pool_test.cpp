#include "pool/pool.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <random>
#include <stdexcept>
#include <thread>

namespace pool {
namespace {

TEST(OrderedMap, ResultsArriveInIndexOrderWhateverTheCompletionOrder) {
  std::mt19937 rng(7);
  std::vector<int> delays(64);
  for (int& d : delays) d = static_cast<int>(rng() % 3000);
  std::vector<std::size_t> seen;
  ordered_map<std::size_t>(
      delays.size(), 8,
      [&](std::size_t i) {
        std::this_thread::sleep_for(std::chrono::microseconds(delays[i]));
        return i * 10;
      },
      [&](std::size_t i, std::size_t value) {
        EXPECT_EQ(value, i * 10);
        seen.push_back(i);
        return true;
      });
  ASSERT_EQ(seen.size(), delays.size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
}

TEST(OrderedMap, NeverRunsMoreThanTheWindowAhead) {
  std::atomic<std::size_t> started{0};
  std::size_t max_ahead = 0;
  ordered_map<int>(
      100, 3,
      [&](std::size_t) {
        started.fetch_add(1);
        return 0;
      },
      [&](std::size_t i, int) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // a slow consumer
        max_ahead = std::max(max_ahead, started.load() - (i + 1));  // started beyond the one consumed
        return true;
      });
  EXPECT_LE(max_ahead, 3u);
  EXPECT_EQ(started.load(), 100u);
}

TEST(OrderedMap, StopsEarlyAndRethrowsTaskExceptions) {
  std::atomic<int> ran{0};
  int consumed = 0;
  ordered_map<int>(
      1000, 4,
      [&](std::size_t i) {
        ran.fetch_add(1);
        return static_cast<int>(i);
      },
      [&](std::size_t i, int) {
        ++consumed;
        return i < 2;
      });
  EXPECT_EQ(consumed, 3);
  EXPECT_LE(ran.load(), 3 + 4);

  EXPECT_THROW(ordered_map<int>(
                   10, 2,
                   [](std::size_t i) -> int {
                     if (i == 5) throw std::runtime_error("boom");
                     return 0;
                   },
                   [](std::size_t, int) { return true; }),
               std::runtime_error);
}

// Tasks that start and wait for tasks of their own, on every worker at once,
// finish: those started from a worker run on it.
TEST(OrderedTasks, TasksStartedFromWorkersRunThereInsteadOfWaitingForThem) {
  const std::size_t workers = ThreadPool::global().size();
  std::vector<std::size_t> sums;
  ordered_map<std::size_t>(
      4 * workers, 2 * workers,
      [](std::size_t i) {
        OrderedTasks<std::size_t> inner;
        for (std::size_t j = 0; j < 3; ++j) inner.start([i, j] { return i * 10 + j; });
        std::size_t sum = 0;
        while (!inner.empty()) sum += inner.take();
        return sum;
      },
      [&](std::size_t, std::size_t sum) {
        sums.push_back(sum);
        return true;
      });
  ASSERT_EQ(sums.size(), 4 * workers);
  for (std::size_t i = 0; i < sums.size(); ++i) EXPECT_EQ(sums[i], 30 * i + 3);
}

TEST(ThreadPool, DefaultSizeFromEnvironmentOrAffinity) {
  setenv("KARVIK_NUM_THREADS", "3", 1);
  EXPECT_EQ(ThreadPool::default_size(), 3u);
  for (const char* bad : {"0", "-2", "two", "4x", ""}) {
    setenv("KARVIK_NUM_THREADS", bad, 1);
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(ThreadPool::default_size(), static_cast<std::size_t>(CPU_COUNT(&set))) << bad;
  }
  unsetenv("KARVIK_NUM_THREADS");

  // The affinity mask, not the machine's processor count.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof one, &one);
    _exit(ThreadPool::default_size() == 1 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

int sum_on_pool(std::size_t n) {
  int sum = 0;
  ordered_map<int>(
      n, 4, [](std::size_t i) { return static_cast<int>(i); },
      [&](std::size_t, int v) {
        sum += v;
        return true;
      });
  return sum;
}

// What runs the tests when it is not the machine itself (qemu-user for the ARM build).
const char* test_emulator() { return std::getenv("KARVIK_TEST_EMULATOR"); }

TEST(ThreadPool, ForkedChildGetsAFreshPool) {
  if (const char* emulator = test_emulator()) {
    GTEST_SKIP() << emulator << " fails an assertion of its own when a process forks while other threads run";
  }
#if defined(__SANITIZE_ADDRESS__)
  // GCC 12's ASan allocator is not fork-safe: a lock that a parent thread holds
  // while allocating stays locked in the child and hangs any allocation there.
  GTEST_SKIP() << "ASan's allocator cannot follow a fork of a busy process";
#endif
  EXPECT_EQ(sum_on_pool(100), 4950);  // the parent's pool is running
  // Keep the parent's workers busy while forking, so a lock may be held.
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) sum_on_pool(50);
  });
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a hang ends the child with SIGALRM
    _exit(sum_on_pool(1000) == 499500 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  stop = true;
  busy.join();
  ASSERT_TRUE(WIFEXITED(status)) << "child hung or crashed";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(sum_on_pool(100), 4950);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // sanitizers reserve more than the limit
TEST(ThreadPool, StartsWhatThreadsItCanOrThrows) {
  if (const char* emulator = test_emulator()) {
    GTEST_SKIP() << "RLIMIT_AS bounds " << emulator << "'s own address space, not the emulated process's";
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Room for a few thread stacks at most.
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    limit.rlim_cur = pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) + (20u << 20);
    setrlimit(RLIMIT_AS, &limit);
    setenv("KARVIK_NUM_THREADS", "64", 1);
    try {
      const std::size_t size = ThreadPool::global().size();
      _exit(size >= 1 && size < 64 && sum_on_pool(100) == 4950 ? 0 : 1);
    } catch (const std::system_error&) {
      _exit(0);
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the child crashed";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
}  // namespace pool
