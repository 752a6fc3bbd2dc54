#pragma once

#include <Python.h>

#include <expected>
#include <string>

#include "binding/ref.hpp"

namespace binding {

// Why a bound function failed: a Python exception class and its message, or,
// with no class, an exception that a Python C API call has already set.
struct Raise {
  PyObject* type = nullptr;
  std::string message;
};

template <typename T>
using Result = std::expected<T, Raise>;

inline std::unexpected<Raise> value_error(std::string message) {
  return std::unexpected(Raise{PyExc_ValueError, std::move(message)});
}

inline std::unexpected<Raise> already_raised() { return std::unexpected(Raise{}); }

// Sets the Python error a Raise describes.
void raise(const Raise& failure);

// Takes the exception being raised, normalised and with its traceback; null
// when none is.
Ref fetch_exception();

// Raises type(message) with `cause` as its __cause__; with a failure on the
// way, whatever that failure raised.
void raise_from(PyObject* type, PyObject* message, Ref cause);

// Sets TypeError with the message and returns false, as conversions and the
// argument binding report failure.
bool type_error(const std::string& message);

// Called inside a catch block: turns the C++ exception being handled into a
// Python one, so none crosses into the interpreter. std::bad_alloc becomes
// MemoryError, anything else the fatal error.
void raise_current_exception();

// The class of internal fatal errors: derived from BaseException, so that
// `except Exception` does not swallow them.
PyObject* fatal_error_type();

}  // namespace binding
