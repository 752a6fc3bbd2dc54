// The module object: its classes, extract, build_index, __doc__, __version__ and __all__.
#include <Python.h>

#include <cstdint>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "karvik/build_index.hpp"
#include "karvik/classes.hpp"
#include "karvik/extract.hpp"
#include "karvik/read.hpp"

namespace {

using binding::Ref;

constexpr char kModuleDoc[] =
    "Python bindings for karvik - extract points from LAS/LAZ files using GeoPackage tile indices";

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "karvik",
    nullptr,
    // Not -1: a repeated import then calls PyInit_karvik again instead of
    // copying the module's dict, so that it can hand back the first module
    // or refuse another interpreter.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Made once per process, by the first interpreter that imports it.
PyObject* the_module = nullptr;
std::int64_t the_interpreter = -1;

// Appends `name` to __all__ (creating the list), then sets the attribute.
bool add(PyObject* module, const char* name, Ref value) {
  if (!value) return false;
  PyObject* dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (all == nullptr) {
    Ref list(PyList_New(0));
    if (!list || PyDict_SetItemString(dict, "__all__", list.get()) < 0) return false;
    all = list.get();
  }
  Ref text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

Ref borrowed(PyTypeObject* type) {
  return Ref(type ? Py_NewRef(reinterpret_cast<PyObject*>(type)) : nullptr);
}

PyObject* create_module() {
  Ref module(PyModule_Create(&definition));
  if (!module) return nullptr;
  Ref name(PyModule_GetNameObject(module.get()));
  if (!name) return nullptr;
  const bool complete =
      add(module.get(), "ExtractionStats", borrowed(karvik_python::create_extraction_stats_class())) &&
      add(module.get(), "BoundingBox", borrowed(karvik_python::create_bounding_box_class())) &&
      add(module.get(), "Cylinder", borrowed(karvik_python::create_cylinder_class())) &&
      add(module.get(), "Frustum", borrowed(karvik_python::create_frustum_class())) &&
      add(module.get(), karvik_python::extract_definition()->ml_name,
          Ref(PyCFunction_NewEx(karvik_python::extract_definition(), module.get(), name.get()))) &&
      add(module.get(), "__doc__", Ref(PyUnicode_FromString(kModuleDoc))) &&
      add(module.get(), "__version__", Ref(PyUnicode_FromString(KARVIK_VERSION))) &&
      add(module.get(), "ExtractionProgress", borrowed(karvik_python::create_extraction_progress_class())) &&
      add(module.get(), "ExtractedPoints", borrowed(karvik_python::create_extracted_points_class())) &&
      add(module.get(), karvik_python::read_definition()->ml_name,
          Ref(PyCFunction_NewEx(karvik_python::read_definition(), module.get(), name.get()))) &&
      add(module.get(), "IndexReport", borrowed(karvik_python::create_index_report_class())) &&
      add(module.get(), karvik_python::build_index_definition()->ml_name,
          Ref(PyCFunction_NewEx(karvik_python::build_index_definition(), module.get(), name.get())));
  return complete ? module.release() : nullptr;
}

PyObject* init() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (the_module != nullptr) {
    if (interpreter != the_interpreter) {
      PyErr_SetString(PyExc_ImportError, "karvik can be imported in only one interpreter per process");
      return nullptr;
    }
    return Py_NewRef(the_module);
  }
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  the_module = Py_NewRef(module);  // kept for the life of the process
  the_interpreter = interpreter;
  return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_karvik() {
  try {
    return init();
  } catch (...) {
    binding::raise_current_exception();
    return nullptr;
  }
}
