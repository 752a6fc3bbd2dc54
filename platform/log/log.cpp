#include "log/log.hpp"

#include <atomic>
#include <mutex>

namespace logging {
namespace {

std::atomic<Level> g_max_level{Level::Off};

struct Sink {
  std::mutex mutex;
  std::function<void(const Record&)> function;
};

Sink& sink() {
  static Sink* s = new Sink;  // never destroyed: worker threads may log during exit
  return *s;
}

}  // namespace

void set_max_level(Level level) { g_max_level.store(level, std::memory_order_relaxed); }

Level max_level() { return g_max_level.load(std::memory_order_relaxed); }

void set_sink(std::function<void(const Record&)> function) {
  std::lock_guard lock(sink().mutex);
  sink().function = std::move(function);
}

void emit(Level level, std::string_view target, const std::string& message, std::source_location where) {
  Sink& s = sink();
  std::lock_guard lock(s.mutex);
  if (s.function) s.function(Record{level, target, message, where.file_name(), where.line()});
}

}  // namespace logging
