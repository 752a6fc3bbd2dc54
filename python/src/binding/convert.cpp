#include "binding/convert.hpp"

#include <string_view>

#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace binding {
namespace {

// numpy's bool scalar type is numpy.bool_ (numpy.bool from numpy 2 on);
// recognised by name so that numpy need not be imported.
bool is_numpy_bool(PyTypeObject* type) {
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || utf8_of(module.get()) != "numpy") return false;
  Ref name(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  const auto text = utf8_of(name.get());
  return text == "bool_" || text == "bool";
}

}  // namespace

std::string type_name(PyObject* object) {
  Ref name(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  return std::string(utf8_of(name.get()).value_or("?"));
}

std::optional<std::string_view> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

bool From<double>::convert(PyObject* object, double& out) {
  out = PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
}

bool From<bool>::convert(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  if (!is_numpy_bool(Py_TYPE(object))) return type_error("must be bool, not " + type_name(object));
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out = truth == 1;
  return true;
}

bool From<Callable>::convert(PyObject* object, Callable& out) {
  if (!PyCallable_Check(object)) return type_error("must be callable, not " + type_name(object));
  out.object = object;
  return true;
}

bool From<Path>::convert(PyObject* object, Path& out) {
  Ref text;
  if (PyUnicode_Check(object)) {
    text = Ref(Py_NewRef(object));
  } else if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__")) {
    text = Ref(PyOS_FSPath(object));
    if (!text) return false;
    if (!PyUnicode_Check(text.get())) {
      return type_error("expected " + type_name(object) + ".__fspath__() to return str, not " +
                        type_name(text.get()));
    }
  } else {
    return type_error("must be str or os.PathLike, not " + type_name(object));
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) return false;
  out.text.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace binding
