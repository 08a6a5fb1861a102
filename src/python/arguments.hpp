// Argument conversion shared by every function of the module.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ziri {

/// The parameters of one function, all positional-or-keyword; the first
/// `required` of them must be given.
struct Signature {
  const char* function;  // as messages name it, e.g. "SchemaEngine.execute"
  std::span<const char* const> parameters;
  std::size_t required;
};

/// Binds fast-call arguments to `slots` (borrowed, null where omitted).
/// Raises TypeError in the host's usual words and returns false on misuse.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

/// The same for a tuple and a dict, as a type's __new__ receives them.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

/// The UTF-8 text of a str argument, valid while `value` lives. On failure the
/// conversion's exception carries the note "while processing '<parameter>'".
std::optional<std::string_view> text_argument(const Signature& signature, std::size_t index,
                                              PyObject* value);

/// An integer argument in the unsigned 64-bit range, with the same note on failure.
std::optional<std::uint64_t> u64_argument(const Signature& signature, std::size_t index,
                                          PyObject* value);

}  // namespace ziri
