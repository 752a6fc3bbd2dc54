#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace binding {

// What a class is made of. Every class is final, has no __dict__ and no weak
// references, and its instances never change after construction.
struct ClassSpec {
  const char* name;             // qualified: "module.Name"; kept for the life of the process
  const char* doc;              // with a text-signature header when it has a constructor
  newfunc constructor;          // null: the class cannot be instantiated from Python
  reprfunc repr;
  reprfunc str;                 // null: str() falls back to repr
  richcmpfunc compare;          // null: compared by identity
  hashfunc hash;                // null: hashed by identity
  int (*buffer)(PyObject*, Py_buffer*, int) = nullptr;  // bf_getbuffer; null: no buffer protocol
  PyMethodDef* methods;         // ends with an empty entry; kept for the life of the process
  PyGetSetDef* properties;      // ends with an empty entry; kept for the life of the process
};

// Creates the heap type; a new reference, or null with an exception set. A
// dealloc is given for instances whose value has a destructor to run.
PyTypeObject* make_type(const ClassSpec& spec, std::size_t instance_size, destructor dealloc = nullptr);

// The Python class whose instances each hold one value of type V inline.
template <typename V>
class Class {
 public:
  // Creates the class on first call; later calls return it. A borrowed
  // reference: the class lives as long as the process.
  static PyTypeObject* create(const ClassSpec& spec) {
    if (type_ == nullptr) {
      type_ = make_type(spec, sizeof(Instance), std::is_trivially_destructible_v<V> ? nullptr : &dealloc);
    }
    return type_;
  }

  // A new instance holding the value; null with an exception set.
  template <typename U>
  static PyObject* wrap(U&& value) {
    PyObject* object = PyType_GenericAlloc(type_, 0);
    if (object != nullptr) new (&reinterpret_cast<Instance*>(object)->value) V(std::forward<U>(value));
    return object;
  }

  // The value of an instance of this class.
  static const V& value(PyObject* self) { return reinterpret_cast<Instance*>(self)->value; }

  // The value when `object` is an instance of this class, else null.
  static const V* value_of(PyObject* object) {
    return type_ != nullptr && PyObject_TypeCheck(object, type_) ? &value(object) : nullptr;
  }

 private:
  struct Instance {
    PyObject base;
    V value;
  };
  // Runs the value's destructor (with the GIL held), then frees the instance.
  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance*>(self)->value.~V();
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
  }
  static inline PyTypeObject* type_ = nullptr;
};

}  // namespace binding
