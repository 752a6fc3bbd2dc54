#pragma once

#include <Python.h>

namespace karvik_python {

// The definition of the module function extract(); kept for the life of the process.
PyMethodDef* extract_definition();

}  // namespace karvik_python
