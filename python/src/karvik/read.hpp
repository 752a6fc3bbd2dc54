#pragma once

#include <Python.h>

namespace karvik_python {

// The definition of the module function read(); kept for the life of the process.
PyMethodDef* read_definition();

// The class of read()'s result, created on the first call (borrowed; it lives
// as long as the process), or null with an exception set.
PyTypeObject* create_extracted_points_class();

}  // namespace karvik_python
