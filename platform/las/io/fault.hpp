#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace las::io {

// For tests: a planned failure of the file layer. Reads or writes of files
// whose name contains `name_part` pass `after_bytes` bytes in all, then fail
// with `error` (EIO, ENOSPC, ...) until the plan is cleared. One plan at a
// time for the whole process; without one the file layer pays a relaxed load.
struct FaultPlan {
  enum class Operation { read, write };
  Operation operation;
  std::string name_part;
  std::uint64_t after_bytes;
  int error;
};

void plan_fault(std::optional<FaultPlan> plan);

// How many of `count` bytes of this operation on `name` may pass now; 0 with
// errno set to the planned error once the plan's bytes have passed.
std::size_t allowed_bytes(FaultPlan::Operation operation, const std::string& name, std::size_t count);

}  // namespace las::io
