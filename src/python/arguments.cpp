#include "python/arguments.hpp"

#include "python/py_ref.hpp"

namespace ziri {
namespace {

// Finds the parameter a keyword names; -1 when the function has none such.
Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_Check(keyword) && PyUnicode_EqualToUTF8(keyword, signature.parameters[i])) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> slots) {
  const auto max = static_cast<Py_ssize_t>(signature.parameters.size());
  if (nargs > max) {
    if (max == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", signature.function,
                   nargs);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)",
                   signature.function, max, max == 1 ? "" : "s", nargs);
    }
    return false;
  }
  std::fill(slots.begin(), slots.end(), nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  return true;
}

bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                  std::span<PyObject*> slots) {
  Py_ssize_t index = parameter_index(signature, keyword);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 signature.function, keyword);
    return false;
  }
  if (slots[index]) {
    PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                 signature.function, signature.parameters[index], index + 1);
    return false;
  }
  slots[index] = value;
  return true;
}

bool check_required(const Signature& signature, std::span<PyObject*> slots) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                   signature.function, signature.parameters[i], i + 1);
      return false;
    }
  }
  return true;
}

// Adds the note that names the parameter to the exception being raised.
void note_parameter(const Signature& signature, std::size_t index) {
  PyObject* raised = PyErr_GetRaisedException();
  PyRef note =
      PyRef::steal(PyUnicode_FromFormat("while processing '%s'", signature.parameters[index]));
  if (note) {
    PyRef added = PyRef::steal(PyObject_CallMethod(raised, "add_note", "O", note.get()));
    if (!added) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(raised);
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
  if (!bind_positional(signature, args, nargs, slots)) return false;
  Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
      return false;
    }
  }
  return check_required(signature, slots);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots) {
  if (!bind_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots)) {
    return false;
  }
  Py_ssize_t position = 0;
  PyObject *keyword, *value;
  while (kwargs && PyDict_Next(kwargs, &position, &keyword, &value)) {
    if (!bind_keyword(signature, keyword, value, slots)) return false;
  }
  return check_required(signature, slots);
}

std::optional<std::string_view> text_argument(const Signature& signature, std::size_t index,
                                              PyObject* value) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %T", signature.function,
                 signature.parameters[index], value);
    note_parameter(signature, index);
    return std::nullopt;
  }
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (!text) {
    note_parameter(signature, index);
    return std::nullopt;
  }
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::optional<std::uint64_t> u64_argument(const Signature& signature, std::size_t index,
                                          PyObject* value) {
  PyRef integer = PyRef::steal(PyNumber_Index(value));
  if (integer) {
    unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
    if (!(result == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return result;
  }
  note_parameter(signature, index);
  return std::nullopt;
}

}  // namespace ziri
