#pragma once

#include <Python.h>

namespace karvik_python {

// The definition of the module function build_index(); kept for the life of the process.
PyMethodDef* build_index_definition();
// The class of build_index's result, made on the first call (borrowed), or null with an exception set.
PyTypeObject* create_index_report_class();

}  // namespace karvik_python
