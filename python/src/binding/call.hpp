#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <functional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/class.hpp"
#include "binding/convert.hpp"
#include "binding/error.hpp"
#include "binding/header.hpp"

// Every function, method, constructor, property and text slot of the module
// goes through here: arguments are bound by position and keyword with the
// interpreter's texts, converted left to right, the C++ function is called,
// and its result or failure (a Raise, or a C++ exception) becomes Python's.
namespace binding {

// How a callable is named in binding texts: "Owner.name()" or "name()".
struct CallableName {
  std::string_view owner;  // empty for a module-level function
  std::string_view name;
};

// Puts into slots[i] the argument given for parameter i (borrowed), leaving
// null the ones omitted; on failure sets TypeError and returns false.
bool bind_arguments(const Header& header, CallableName callable, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

// Rewrites a TypeError set while converting parameter `name` into
// "argument 'name': ..." with the original as its __cause__; other
// exceptions stay as they are.
void name_conversion_error(std::string_view name);

namespace detail {

template <typename F>
struct Signature;
template <typename R, typename... A>
struct Signature<R (*)(A...)> {
  using Return = R;
  using Arguments = std::tuple<std::remove_cvref_t<A>...>;
};

template <typename Tuple>
struct DropFirst;
template <typename First, typename... Rest>
struct DropFirst<std::tuple<First, Rest...>> {
  using type = std::tuple<Rest...>;
};

template <typename T>
struct IsResult : std::false_type {};
template <typename T>
struct IsResult<Result<T>> : std::true_type {};

template <typename T>
PyObject* result_to_python(const T& value) {
  if constexpr (requires { to_python(value); }) {
    return to_python(value);
  } else {
    return Class<T>::wrap(value);
  }
}

// A new reference to the Python form of what the function returned, or null
// with an exception set.
template <typename R>
PyObject* finish(R&& returned) {
  if constexpr (IsResult<std::remove_cvref_t<R>>::value) {
    if (!returned) {
      raise(returned.error());
      return nullptr;
    }
    return result_to_python(*returned);
  } else {
    return result_to_python(returned);
  }
}

template <const char* Doc, typename Parameters, std::size_t... I>
bool convert_all(std::span<PyObject* const> slots, Parameters& values, std::index_sequence<I...>) {
  constexpr Header header = parse_header(Doc);
  auto one = [&]<std::size_t J>(std::integral_constant<std::size_t, J>) {
    using P = std::tuple_element_t<J, Parameters>;
    static_assert(kOptional<P> == (J >= header.required), "the C++ parameter's optionality differs from the header");
    if (convert_argument(slots[J], std::get<J>(values))) return true;
    name_conversion_error(header.parameters[J]);
    return false;
  };
  return (one(std::integral_constant<std::size_t, I>{}) && ...);
}

// Binds and converts the arguments, then calls F with them, after the
// instance's value for a method (Self not void).
template <const char* Doc, auto F, typename Parameters, typename Self>
PyObject* invoke(CallableName callable, const Self* self, PyObject* args, PyObject* kwargs) {
  constexpr Header header = parse_header(Doc);
  static_assert(std::tuple_size_v<Parameters> == header.count, "the header names a different number of parameters");
  try {
    std::array<PyObject*, header.count> slots{};
    if (!bind_arguments(header, callable, args, kwargs, slots)) return nullptr;
    Parameters values{};
    if (!convert_all<Doc>(slots, values, std::make_index_sequence<header.count>{})) return nullptr;
    if constexpr (std::is_void_v<Self>) {
      return finish(std::apply(F, std::move(values)));
    } else {
      return finish(std::apply([&](auto&&... arguments) { return F(*self, std::move(arguments)...); },
                               std::move(values)));
    }
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

template <typename V>
struct SelfOf;
template <typename R, typename V>
struct SelfOf<R (V::*)() const> {
  using type = V;
};
template <typename R, typename V>
struct SelfOf<R (*)(const V&)> {
  using type = V;
};
template <typename R, typename V>
struct SelfOf<R V::*> {
  using type = V;
};

template <auto F>
using Self = typename SelfOf<decltype(F)>::type;

template <typename F>
PyCFunction as_method(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace detail

// A module-level function: F takes the converted parameters and returns a
// value or a Result.
template <const char* Doc, auto F>
PyMethodDef function() {
  using Parameters = typename detail::Signature<decltype(F)>::Arguments;
  PyCFunctionWithKeywords call = [](PyObject*, PyObject* args, PyObject* kwargs) {
    return detail::invoke<Doc, F, Parameters, void>({"", NameOf<Doc>::name}, nullptr, args, kwargs);
  };
  return {NameOf<Doc>::text.data(), detail::as_method(call), METH_VARARGS | METH_KEYWORDS, Doc};
}

// A static method of the class named Owner.
template <const char* Owner, const char* Doc, auto F>
PyMethodDef static_method() {
  using Parameters = typename detail::Signature<decltype(F)>::Arguments;
  PyCFunctionWithKeywords call = [](PyObject*, PyObject* args, PyObject* kwargs) {
    return detail::invoke<Doc, F, Parameters, void>({Owner, NameOf<Doc>::name}, nullptr, args, kwargs);
  };
  return {NameOf<Doc>::text.data(), detail::as_method(call), METH_VARARGS | METH_KEYWORDS | METH_STATIC, Doc};
}

// A method of the class named Owner: F takes the instance's value first.
template <const char* Owner, const char* Doc, auto F>
PyMethodDef method() {
  using Arguments = typename detail::Signature<decltype(F)>::Arguments;
  using V = std::tuple_element_t<0, Arguments>;
  using Parameters = typename detail::DropFirst<Arguments>::type;
  PyCFunctionWithKeywords call = [](PyObject* self, PyObject* args, PyObject* kwargs) {
    return detail::invoke<Doc, F, Parameters, V>({Owner, NameOf<Doc>::name}, &Class<V>::value(self), args, kwargs);
  };
  return {NameOf<Doc>::text.data(), detail::as_method(call), METH_VARARGS | METH_KEYWORDS, Doc};
}

// The constructor of the class whose docstring is Doc ("Name(...)\n--\n\n"):
// F returns the value the new instance holds.
template <const char* Doc, auto F>
PyObject* constructor(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  using Parameters = typename detail::Signature<decltype(F)>::Arguments;
  return detail::invoke<Doc, F, Parameters, void>({NameOf<Doc>::name, "__new__"}, nullptr, args, kwargs);
}

// A read-only property, with or without a docstring: F reads the value (a
// const member function, a data member or a function of the value).
template <auto F>
PyGetSetDef property(const char* name, const char* doc = nullptr) {
  getter get = [](PyObject* self, void*) -> PyObject* {
    try {
      return detail::finish(std::invoke(F, Class<detail::Self<F>>::value(self)));
    } catch (...) {
      raise_current_exception();
      return nullptr;
    }
  };
  return {name, get, nullptr, doc, nullptr};
}

// A repr or str slot: F renders the value as text.
template <auto F>
PyObject* text_slot(PyObject* self) {
  try {
    return to_python(F(Class<detail::Self<F>>::value(self)));
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace binding
