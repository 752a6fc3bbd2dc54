#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <type_traits>

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
  PyMethodDef* methods;         // ends with an empty entry; kept for the life of the process
  PyGetSetDef* properties;      // ends with an empty entry; kept for the life of the process
};

// Creates the heap type; a new reference, or null with an exception set.
PyTypeObject* make_type(const ClassSpec& spec, std::size_t instance_size);

// The Python class whose instances each hold one value of type V inline.
template <typename V>
class Class {
  static_assert(std::is_trivially_destructible_v<V>, "instances are freed without running a destructor");

 public:
  // Creates the class on first call; later calls return it. A borrowed
  // reference: the class lives as long as the process.
  static PyTypeObject* create(const ClassSpec& spec) {
    if (type_ == nullptr) type_ = make_type(spec, sizeof(Instance));
    return type_;
  }

  static PyObject* wrap(const V& value) {
    PyObject* object = PyType_GenericAlloc(type_, 0);
    if (object != nullptr) new (&reinterpret_cast<Instance*>(object)->value) V(value);
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
  static inline PyTypeObject* type_ = nullptr;
};

}  // namespace binding
