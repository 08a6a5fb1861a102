// Where the engine meets the interpreter: C++ failures become Python
// exceptions in one place, and long work runs with the interpreter lock released.
#pragma once

#include <Python.h>

#include <exception>

namespace ziri {

/// Creates the module's internal-fault exception type once per process; 0, or
/// -1 with an error set.
int ensure_internal_fault_type();

/// Sets the Python exception that stands for `failure`: MemoryError for
/// std::bad_alloc, the internal-fault type for anything else.
void set_python_error(std::exception_ptr failure);

/// Runs `body`, an entry point's work; a C++ exception it throws becomes a
/// Python exception and null, so none ever crosses into the interpreter.
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (...) {
    set_python_error(std::current_exception());
    return nullptr;
  }
}

/// Runs `work` with the interpreter lock released; false with a Python error
/// set when it threw.
template <class F>
bool without_gil(F&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) set_python_error(failure);
  return !failure;
}

}  // namespace ziri
