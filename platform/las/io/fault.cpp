#include "las/io/fault.hpp"

#include <atomic>
#include <cerrno>
#include <mutex>

namespace las::io {
namespace {

std::atomic<bool> planned{false};
std::mutex mutex;
std::optional<FaultPlan> plan;
std::uint64_t passed = 0;

}  // namespace

void plan_fault(std::optional<FaultPlan> new_plan) {
  std::lock_guard lock(mutex);
  plan = std::move(new_plan);
  passed = 0;
  planned.store(plan.has_value(), std::memory_order_relaxed);
}

std::size_t allowed_bytes(FaultPlan::Operation operation, const std::string& name, std::size_t count) {
  if (!planned.load(std::memory_order_relaxed)) return count;
  std::lock_guard lock(mutex);
  if (!plan || plan->operation != operation || name.find(plan->name_part) == std::string::npos) return count;
  const std::uint64_t left = plan->after_bytes - std::min(passed, plan->after_bytes);
  const std::size_t allowed = static_cast<std::size_t>(std::min<std::uint64_t>(left, count));
  passed += allowed;
  if (allowed == 0) errno = plan->error;
  return allowed;
}

}  // namespace las::io
