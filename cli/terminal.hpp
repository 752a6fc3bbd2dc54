#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "log/log.hpp"

namespace karvik_cli {

// What an extraction has done so far, as the progress line shows it.
struct ProgressState {
  std::uint64_t tiles_done, tiles_total, points_read;
};

// Standard error as the program writes to it: log records as "karvik: LEVEL:
// message" lines and, on a terminal, one progress line below them that is
// redrawn in place and erased at the end. Records come from any thread.
class Terminal {
 public:
  // Where the progress line may be drawn: only when stderr is a terminal.
  explicit Terminal(bool progress);
  ~Terminal();  // erases the progress line

  // Sends the log facade's records up to `level` here.
  void capture_logs(logging::Level level);
  void show_progress(const ProgressState& state);
  void clear_progress();

 private:
  void write_record(const logging::Record& record);
  void erase_line_locked();

  std::mutex mutex_;
  bool progress_allowed_;
  std::string progress_line_;  // as drawn, empty when none is
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The progress line for a terminal `columns` wide, `elapsed` seconds in.
std::string progress_text(const ProgressState& state, double elapsed, std::size_t columns);

}  // namespace karvik_cli
