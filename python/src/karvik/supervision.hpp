#pragma once

#include <Python.h>

#include <chrono>
#include <stop_token>

#include "binding/ref.hpp"
#include "pipeline/progress.hpp"

namespace karvik_python {

// Watches one extraction from the thread that called it, which holds the GIL
// in each of these calls. A signal whose handler raises (Ctrl-C's
// KeyboardInterrupt) or an exception from the progress callback requests the
// pipeline's stop; the exception is raised again once the pipeline returned.
class Supervision {
 public:
  // The callback is borrowed, null for none; it gets an ExtractionProgress.
  explicit Supervision(PyObject* progress_callback);

  std::stop_token stop_token() const { return stop_.get_token(); }
  karvik_core::pipeline::ExtractionProgress* counters() { return &counters_; }

  // While the pipeline runs: checks for signals, and calls the callback when
  // the last call is kReportInterval ago.
  void tick();
  // Once the pipeline returned: sets the exception that stopped it and
  // returns true, or returns false when nothing did.
  bool raise_stop();
  // After a complete run, the last call of the callback; false with the
  // exception set when it raised.
  bool report_end() { return report(); }

 private:
  static constexpr std::chrono::milliseconds kReportInterval{100};

  bool report();
  void stop_with_current_exception();

  PyObject* callback_;
  karvik_core::pipeline::ExtractionProgress counters_;
  std::stop_source stop_;
  std::chrono::steady_clock::time_point last_report_ = std::chrono::steady_clock::now();
  // The exception that stopped the pipeline, as PyErr_Fetch gave it.
  binding::Ref type_, value_, traceback_;
};

}  // namespace karvik_python
