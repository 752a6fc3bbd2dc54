#pragma once

#include <Python.h>

#include <concepts>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "binding/ref.hpp"

namespace binding {

// A parameter type whose omission and an explicit None both mean "absent".
// A plain std::optional<T> parameter is absent only when omitted.
template <typename T>
struct OrNone : std::optional<T> {
  using std::optional<T>::optional;
};

// A file-system path given as str, or as os.PathLike whose __fspath__
// returns str; held as UTF-8.
struct Path {
  std::string text;
};

// A callable object, borrowed for the duration of the call.
struct Callable {
  PyObject* object = nullptr;
};

// Conversion of one argument to the C++ type of its parameter. Each returns
// false with a Python exception set when the argument does not convert.
template <typename T>
struct From;

template <>
struct From<double> {
  // What PyFloat_AsDouble accepts: float, int, bool, __float__, __index__.
  static bool convert(PyObject* object, double& out);
};

template <>
struct From<bool> {
  // True, False or numpy's bool scalar; nothing else, not even 0 and 1.
  static bool convert(PyObject* object, bool& out);
};

// A Python int in the type's range; OverflowError beyond it.
template <std::unsigned_integral T>
  requires(!std::is_same_v<T, bool>)
struct From<T> {
  static bool convert(PyObject* object, T& out) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (value > std::numeric_limits<T>::max()) {
      PyErr_SetString(PyExc_OverflowError, "int too large to convert");
      return false;
    }
    out = static_cast<T>(value);
    return true;
  }
};

template <>
struct From<Path> {
  static bool convert(PyObject* object, Path& out);
};

template <>
struct From<Callable> {
  static bool convert(PyObject* object, Callable& out);
};

// Taken as it is, borrowed for the duration of the call.
template <>
struct From<PyObject*> {
  static bool convert(PyObject* object, PyObject*& out) {
    out = object;
    return true;
  }
};

template <typename T>
inline constexpr bool kOptional = false;
template <typename T>
inline constexpr bool kOptional<std::optional<T>> = true;
template <typename T>
inline constexpr bool kOptional<OrNone<T>> = true;

// Converts a bound argument; `object` is null when the argument was omitted,
// which the binding allows only for optional parameters.
template <typename P>
bool convert_argument(PyObject* object, P& out) {
  if constexpr (kOptional<P>) {
    using T = typename P::value_type;
    if (object == nullptr) return true;
    if constexpr (std::is_same_v<P, OrNone<T>>) {
      if (object == Py_None) return true;
    }
    T value{};
    if (!From<T>::convert(object, value)) return false;
    out.emplace(std::move(value));
    return true;
  } else {
    return From<P>::convert(object, out);
  }
}

// Conversions of results to new references; null with an exception set on failure.
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python(bool value) { return PyBool_FromLong(value); }
inline PyObject* to_python(const std::optional<double>& value) {
  return value ? PyFloat_FromDouble(*value) : Py_NewRef(Py_None);
}
template <std::unsigned_integral T>
PyObject* to_python(T value) {
  return PyLong_FromUnsignedLongLong(value);
}
inline PyObject* to_python(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

inline PyObject* to_python(const Shared& object) { return Py_NewRef(object.get()); }

// The name of an object's type, for messages: "int", "NoneType".
std::string type_name(PyObject* object);

// The UTF-8 text of a str, valid while it lives; nullopt, with no exception
// left set, when it cannot be encoded.
std::optional<std::string_view> utf8_of(PyObject* text);

}  // namespace binding
