#pragma once

#include <Python.h>

#include <cmath>
#include <concepts>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/call.hpp"
#include "binding/ref.hpp"

// Value semantics for a class whose instances are made by a tuple of fields
// (Fields: const V& -> std::tuple<double, std::optional<double>, unsigned...>):
// == and hash from the fields, and __reduce__ to the call that makes the
// value again, so that pickle and copy work through the class's own factory.
namespace binding {

// A call that makes a value again: the class itself (factory empty) or its
// static method of that name, with these arguments.
template <typename... A>
struct Reduction {
  std::string_view factory;
  std::tuple<A...> arguments;
};

namespace detail {

inline PyObject* to_python_element(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python_element(const std::optional<double>& value) { return to_python(value); }
inline PyObject* to_python_element(const Shared& object) { return to_python(object); }
template <std::unsigned_integral T>
PyObject* to_python_element(T value) {
  return PyLong_FromUnsignedLongLong(value);
}

// A new tuple of the elements; with hashable_nan, NaN becomes None, whose
// hash (unlike a NaN float's, which depends on the object) is fixed.
template <typename Tuple>
PyObject* tuple_to_python(const Tuple& elements, bool hashable_nan) {
  constexpr std::size_t n = std::tuple_size_v<Tuple>;
  Ref tuple(PyTuple_New(n));
  if (!tuple) return nullptr;
  bool complete = true;
  auto put = [&](std::size_t i, const auto& element) {
    if (!complete) return;
    PyObject* item = nullptr;
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(element)>, double>) {
      item = hashable_nan && std::isnan(element) ? Py_NewRef(Py_None) : to_python_element(element);
    } else if constexpr (std::is_same_v<std::remove_cvref_t<decltype(element)>, std::optional<double>>) {
      item = hashable_nan && element && std::isnan(*element) ? Py_NewRef(Py_None) : to_python_element(element);
    } else {
      item = to_python_element(element);
    }
    if (item == nullptr || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item) < 0) complete = false;
  };
  [&]<std::size_t... I>(std::index_sequence<I...>) { (put(I, std::get<I>(elements)), ...); }(
      std::make_index_sequence<n>{});
  return complete ? tuple.release() : nullptr;
}

template <auto Fields>
using FieldsOf = typename SelfOf<decltype(Fields)>::type;

}  // namespace detail

// tp_richcompare: == and != between instances of the same class compare the
// fields as C++ does (a NaN is unequal to everything, itself included).
template <auto Fields>
PyObject* compare(PyObject* self, PyObject* other, int op) {
  using V = detail::FieldsOf<Fields>;
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = Fields(Class<V>::value(self)) == Fields(Class<V>::value(other));
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// tp_hash: the hash of the fields' tuple, equal for equal instances.
template <auto Fields>
Py_hash_t hash(PyObject* self) {
  using V = detail::FieldsOf<Fields>;
  Ref tuple(detail::tuple_to_python(Fields(Class<V>::value(self)), true));
  return tuple ? PyObject_Hash(tuple.get()) : -1;
}

// The __reduce__ method: F gives the Reduction of the instance's value.
template <auto F>
PyMethodDef reduce_method() {
  using V = typename detail::SelfOf<decltype(F)>::type;
  PyCFunction call = [](PyObject* self, PyObject*) -> PyObject* {
    try {
      const auto reduction = F(Class<V>::value(self));
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
      Ref factory(reduction.factory.empty()
                      ? Py_NewRef(type)
                      : PyObject_GetAttrString(type, std::string(reduction.factory).c_str()));
      if (!factory) return nullptr;
      Ref arguments(detail::tuple_to_python(reduction.arguments, false));
      if (!arguments) return nullptr;
      return PyTuple_Pack(2, factory.get(), arguments.get());
    } catch (...) {
      raise_current_exception();
      return nullptr;
    }
  };
  return {"__reduce__", call, METH_NOARGS, "Helper for pickle."};
}

}  // namespace binding
