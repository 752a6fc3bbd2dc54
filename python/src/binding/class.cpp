#include "binding/class.hpp"

#include <vector>

namespace binding {

PyTypeObject* make_type(const ClassSpec& spec, std::size_t instance_size, destructor dealloc) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  if (spec.constructor) slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor)});
  if (spec.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
  if (spec.str) slots.push_back({Py_tp_str, reinterpret_cast<void*>(spec.str)});
  if (spec.compare) slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(spec.compare)});
  if (spec.hash) slots.push_back({Py_tp_hash, reinterpret_cast<void*>(spec.hash)});
  if (spec.buffer) slots.push_back({Py_bf_getbuffer, reinterpret_cast<void*>(spec.buffer)});
  if (dealloc) slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.properties) slots.push_back({Py_tp_getset, spec.properties});
  slots.push_back({0, nullptr});

  // Without Py_TPFLAGS_BASETYPE the class cannot be subclassed.
  unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (!spec.constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{spec.name, static_cast<int>(instance_size), 0, flags, slots.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace binding
