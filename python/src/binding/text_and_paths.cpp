#include "binding/text_and_paths.hpp"

#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace binding {
namespace {

bool is_path(PyObject* object) {
  return PyUnicode_Check(object) ||
         PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__");
}

}  // namespace

bool From<Text>::convert(PyObject* object, Text& out) {
  if (!PyUnicode_Check(object)) return type_error("must be str, not " + type_name(object));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;
  out.text.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool From<PathList>::convert(PyObject* object, PathList& out) {
  Path path;
  if (is_path(object)) {
    if (!From<Path>::convert(object, path)) return false;
    out.paths.push_back(std::move(path.text));
    return true;
  }
  // bytes iterate as ints: refused as a whole rather than item by item.
  Ref items(PyBytes_Check(object) ? nullptr : PyObject_GetIter(object));
  if (!items) {
    PyErr_Clear();
    return type_error("must be str, os.PathLike or an iterable of them, not " + type_name(object));
  }
  while (Ref item{PyIter_Next(items.get())}) {
    if (!From<Path>::convert(item.get(), path)) return false;
    out.paths.push_back(std::move(path.text));
  }
  return !PyErr_Occurred();
}

}  // namespace binding
