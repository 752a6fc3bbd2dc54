#include "terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace karvik_cli {
namespace {

const char* level_name(logging::Level level) {
  switch (level) {
    case logging::Level::Error:
      return "error";
    case logging::Level::Warn:
      return "warning";
    case logging::Level::Info:
      return "info";
    case logging::Level::Debug:
      return "debug";
    default:
      return "trace";
  }
}

// 1234567 -> "1,234,567"
std::string grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

// 2.5e6 -> "2.5 M"
std::string rate_text(double per_second) {
  char text[32];
  if (per_second >= 1e6) {
    std::snprintf(text, sizeof text, "%.1f M", per_second / 1e6);
  } else if (per_second >= 1e3) {
    std::snprintf(text, sizeof text, "%.1f k", per_second / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.0f ", per_second);
  }
  return text;
}

std::string duration_text(double seconds) {
  const auto s = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  }
  return text;
}

std::size_t terminal_columns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

std::string progress_text(const ProgressState& state, double elapsed, std::size_t columns) {
  std::string left = " " + std::to_string(state.tiles_done) + "/" + std::to_string(state.tiles_total) + " tiles, " +
                     grouped(state.points_read) + " points read";
  if (elapsed > 0) left += ", " + rate_text(static_cast<double>(state.points_read) / elapsed) + "points/s";
  if (state.tiles_done > 0 && state.tiles_done < state.tiles_total) {
    const double left_seconds =
        elapsed * static_cast<double>(state.tiles_total - state.tiles_done) / static_cast<double>(state.tiles_done);
    left += ", " + duration_text(left_seconds) + " left";
  }
  // A bar of what remains of the width, when there is room for one.
  const std::size_t bar = columns > left.size() + 12 ? std::min<std::size_t>(columns - left.size() - 3, 40) : 0;
  std::string line;
  if (bar > 0) {
    const std::size_t filled = state.tiles_total == 0 ? 0 : bar * state.tiles_done / state.tiles_total;
    line = "[" + std::string(filled, '#') + std::string(bar - filled, ' ') + "]";
  }
  line += left;
  if (line.size() >= columns) line.resize(columns - 1);
  return line;
}

Terminal::Terminal(bool progress) : progress_allowed_(progress && isatty(STDERR_FILENO)) {}

Terminal::~Terminal() {
  logging::set_sink({});
  clear_progress();
}

void Terminal::capture_logs(logging::Level level) {
  logging::set_max_level(level);
  logging::set_sink([this](const logging::Record& record) { write_record(record); });
}

void Terminal::write_record(const logging::Record& record) {
  std::lock_guard lock(mutex_);
  erase_line_locked();
  std::fprintf(stderr, "karvik: %s: %.*s\n", level_name(record.level), static_cast<int>(record.message.size()),
               record.message.data());
  if (!progress_line_.empty()) std::fputs(progress_line_.c_str(), stderr);
  std::fflush(stderr);
}

void Terminal::show_progress(const ProgressState& state) {
  if (!progress_allowed_) return;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::lock_guard lock(mutex_);
  erase_line_locked();
  progress_line_ = progress_text(state, elapsed, terminal_columns());
  std::fputs(progress_line_.c_str(), stderr);
  std::fflush(stderr);
}

void Terminal::clear_progress() {
  std::lock_guard lock(mutex_);
  erase_line_locked();
  progress_line_.clear();
  std::fflush(stderr);
}

void Terminal::erase_line_locked() {
  if (!progress_line_.empty()) std::fputs("\r\033[K", stderr);
}

}  // namespace karvik_cli
