#include "binding/error.hpp"

#include <exception>
#include <new>

namespace binding {

void raise(const Raise& failure) {
  if (failure.type) PyErr_SetString(failure.type, failure.message.c_str());
}

Ref fetch_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref(value);
}

void raise_from(PyObject* type, PyObject* message, Ref cause) {
  if (message == nullptr) return;
  Ref error(PyObject_CallFunctionObjArgs(type, message, nullptr));
  if (!error) return;
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(type, error.get());
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
