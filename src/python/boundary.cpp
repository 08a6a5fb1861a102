#include "python/boundary.hpp"

#include <new>

namespace ziri {
namespace {

// Created once per process; the module refuses sub-interpreters, so no other
// interpreter can ever see it.
PyObject* internal_fault_type = nullptr;

}  // namespace

int ensure_internal_fault_type() {
  if (!internal_fault_type) {
    internal_fault_type = PyErr_NewExceptionWithDoc(
        "_graphql.InternalFault",
        "A fault inside the engine that cannot happen in a correct system.", PyExc_BaseException,
        nullptr);
  }
  return internal_fault_type ? 0 : -1;
}

void set_python_error(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(internal_fault_type, e.what());
  } catch (...) {
    PyErr_SetString(internal_fault_type, "unknown internal fault");
  }
}

}  // namespace ziri
