// A move-only owning reference, so that a raw PyObject* always means borrowed.
#pragma once

#include <Python.h>

#include <utility>

namespace ziri {

class PyRef {
 public:
  PyRef() = default;
  /// Takes over a new reference (which may be null after a failed call).
  static PyRef steal(PyObject* object) { return PyRef(object); }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    Py_XSETREF(object_, std::exchange(other.object_, nullptr));
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace ziri
