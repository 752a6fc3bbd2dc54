#include "binding/error.hpp"

#include <exception>
#include <new>

namespace binding {

void raise(const Raise& failure) {
  if (failure.type) PyErr_SetString(failure.type, failure.message.c_str());
}

bool type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

void raise_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    if (PyObject* type = fatal_error_type()) PyErr_SetString(type, error.what());
  } catch (...) {
    if (PyObject* type = fatal_error_type()) PyErr_SetString(type, "unknown internal error");
  }
}

PyObject* fatal_error_type() {
  // Created on first use and kept for the life of the process.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "karvik.FatalError", "An internal error of karvik; the call that raised it did not complete.",
      PyExc_BaseException, nullptr);
  return type;
}

}  // namespace binding
