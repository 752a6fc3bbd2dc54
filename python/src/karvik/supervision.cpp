#include "karvik/supervision.hpp"

#include "binding/class.hpp"
#include "karvik/classes.hpp"

namespace karvik_python {

using binding::Ref;

Supervision::Supervision(PyObject* progress_callback) : callback_(progress_callback) {}

void Supervision::tick() {
  const bool raised = PyErr_Occurred() || PyErr_CheckSignals() < 0;
  if (stop_.stop_requested()) {
    if (raised) PyErr_Clear();  // a second Ctrl-C while stopping asks for nothing more
    return;
  }
  if (raised) return stop_with_current_exception();
  if (callback_ == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_report_ < kReportInterval) return;
  last_report_ = now;
  if (!report()) stop_with_current_exception();
}

bool Supervision::raise_stop() {
  if (!type_) return false;
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  return true;
}

bool Supervision::report() {
  if (callback_ == nullptr) return true;
  const ProgressReport state{counters_.tiles_done, counters_.tiles_total, counters_.points_read,
                             counters_.points_written};
  Ref argument(binding::Class<ProgressReport>::wrap(state));
  if (!argument) return false;
  Ref returned(PyObject_CallFunctionObjArgs(callback_, argument.get(), nullptr));
  return static_cast<bool>(returned);
}

void Supervision::stop_with_current_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  type_ = Ref(type);
  value_ = Ref(value);
  traceback_ = Ref(traceback);
  stop_.request_stop();
}

}  // namespace karvik_python
