#pragma once

#include <functional>
#include <source_location>
#include <string>
#include <string_view>

namespace logging {

enum class Level { Off, Error, Warn, Info, Debug, Trace };

struct Record {
  Level level;
  std::string_view target;
  std::string_view message;
  const char* file;
  unsigned line;
};

// The global maximum level; starts at Off, so nothing is emitted by default.
void set_max_level(Level level);
Level max_level();

inline bool enabled(Level level) { return level != Level::Off && level <= max_level(); }

// The one sink; an empty function removes it. Calls reach it one at a time,
// from whichever thread logs.
void set_sink(std::function<void(const Record&)> sink);

void emit(Level level, std::string_view target, const std::string& message,
          std::source_location where = std::source_location::current());

}  // namespace logging

// Formats the message only when the level is enabled.
#define KARVIK_LOG(level, target, message)                                           \
  do {                                                                               \
    if (::logging::enabled(level)) ::logging::emit(level, target, message);          \
  } while (0)
