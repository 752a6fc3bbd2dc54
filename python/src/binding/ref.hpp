#pragma once

#include <Python.h>

#include <utility>

namespace binding {

// An owned reference to a Python object, released when the Ref goes.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : object_(owned) {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// A shared, copyable reference to a Python object; copies and destruction
// need the GIL.
class Shared {
 public:
  Shared() = default;
  explicit Shared(Ref owned) : object_(owned.release()) {}
  Shared(const Shared& other) : object_(Py_XNewRef(other.object_)) {}
  Shared& operator=(const Shared& other) {
    Shared copy(other);
    std::swap(object_, copy.object_);
    return *this;
  }
  ~Shared() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace binding
