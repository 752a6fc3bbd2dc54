#include "logbridge/forward.hpp"

#include <array>
#include <utility>

#include "binding/ref.hpp"

namespace logbridge {
namespace {

using binding::Ref;

int python_level(logging::Level level) {
  switch (level) {
    case logging::Level::Error: return 40;
    case logging::Level::Warn: return 30;
    case logging::Level::Info: return 20;
    case logging::Level::Debug: return 10;
    case logging::Level::Trace: return 5;
    case logging::Level::Off: break;
  }
  return 100;
}

Ref get_logger(const std::string& name) {
  Ref module(PyImport_ImportModule("logging"));
  if (!module) return Ref();
  return Ref(PyObject_CallMethod(module.get(), "getLogger", "s#", name.data(), static_cast<Py_ssize_t>(name.size())));
}

// -1 with an exception set when the logger cannot be asked.
int enabled_for(PyObject* logger, int level) {
  Ref answer(PyObject_CallMethod(logger, "isEnabledFor", "i", level));
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

std::string logger_name(std::string_view target) {
  std::string name;
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target.compare(i, 2, "::") == 0) {
      name.push_back('.');
      ++i;
    } else {
      name.push_back(target[i]);
    }
  }
  return name;
}

// logger.handle(logger.makeRecord(...)) when the logger is enabled for the
// level; the record keeps the C++ source location of the statement.
bool emit_one(const QueuedRecord& record) {
  Ref logger = get_logger(logger_name(record.target));
  if (!logger) return false;
  const int level = python_level(record.level);
  const int enabled = enabled_for(logger.get(), level);
  if (enabled <= 0) return enabled == 0;
  Ref name(PyObject_GetAttrString(logger.get(), "name"));
  if (!name) return false;
  Ref entry(PyObject_CallMethod(logger.get(), "makeRecord", "Ois#Is#OO", name.get(), level, record.file.c_str(),
                                static_cast<Py_ssize_t>(record.file.size()), record.line, record.message.data(),
                                static_cast<Py_ssize_t>(record.message.size()), Py_None, Py_None));
  if (!entry) return false;
  Ref handled(PyObject_CallMethod(logger.get(), "handle", "O", entry.get()));
  return static_cast<bool>(handled);
}

}  // namespace

bool follow_logger_level(const char* logger_name) {
  Ref logger = get_logger(logger_name);
  if (!logger) return false;
  static constexpr std::array kMostDetailedFirst = {logging::Level::Trace, logging::Level::Debug, logging::Level::Info,
                                                    logging::Level::Warn, logging::Level::Error};
  for (logging::Level level : kMostDetailedFirst) {
    const int enabled = enabled_for(logger.get(), python_level(level));
    if (enabled < 0) return false;
    if (enabled == 1) {
      logging::set_max_level(level);
      return true;
    }
  }
  logging::set_max_level(logging::Level::Off);
  return true;
}

void emit(const std::vector<QueuedRecord>& records) {
  for (const QueuedRecord& record : records) {
    if (emit_one(record)) continue;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
    PyErr_WriteUnraisable(nullptr);
  }
}

RecordQueue& RecordQueue::global() {
  static RecordQueue* queue = new RecordQueue;  // never destroyed: pool threads may log during exit
  return *queue;
}

RecordQueue::RecordQueue() {
  logging::set_sink([this](const logging::Record& record) { push(record); });
}

void RecordQueue::push(const logging::Record& record) {
  QueuedRecord queued{record.level, std::string(record.target), std::string(record.message),
                      record.file ? record.file : "", record.line};
  std::lock_guard lock(mutex_);
  records_.push_back(std::move(queued));
  changed_.notify_all();
}

std::optional<std::vector<QueuedRecord>> RecordQueue::wait(const bool& done,
                                                           std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [&] { return done || !records_.empty(); });
  if (done && records_.empty()) return std::nullopt;
  return std::exchange(records_, {});
}

void RecordQueue::finish(bool& done) {
  std::lock_guard lock(mutex_);
  done = true;
  changed_.notify_all();
}

}  // namespace logbridge
