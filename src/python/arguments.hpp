// Argument binding and conversion shared by every function of the module, and the text
// signatures that show the same parameters to inspect.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ziri {

/// The parameters of one function, all positional-or-keyword; the first
/// `required` of them must be given.
struct Signature {
  const char* function;  // as messages name it, e.g. "SchemaEngine.execute"
  std::span<const char* const> parameters;
  std::size_t required;
  // How the text signature shows the default of each optional parameter.
  const char* shown_default = "None";
};

/// What a function binds besides its parameters, as its text signature shows it.
enum class Receiver { kInstance, kClass, kConstructor };

/// The start of a docstring from which inspect.signature reads the parameters, so that they
/// are spelled once, in the Signature: "execute($self, query, variables_json=None)\n--\n\n".
/// A constructor shows as its type, "SchemaEngine(catalogue_json=None)".
constexpr std::string text_signature(const Signature& signature, Receiver receiver) {
  std::string_view function = signature.function;
  std::size_t dot = function.rfind('.');
  std::string text(receiver == Receiver::kConstructor ? function.substr(0, dot)
                                                      : function.substr(dot + 1));
  text += receiver == Receiver::kInstance ? "($self" : receiver == Receiver::kClass ? "($cls" : "(";
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (i > 0 || receiver != Receiver::kConstructor) text += ", ";
    text += signature.parameters[i];
    if (i >= signature.required) text.append("=").append(signature.shown_default);
  }
  text += ")\n--\n\n";
  return text;
}

inline constexpr char kNoSummary[] = "";

/// text_signature(signature, receiver) and then `summary`, as a docstring with static storage.
template <const Signature& signature, Receiver receiver, const char* summary = kNoSummary>
inline constexpr auto kDocstring = [] {
  constexpr auto text = [] { return text_signature(signature, receiver) + summary; };
  std::array<char, text().size() + 1> docstring{};
  std::ranges::copy(text(), docstring.begin());
  return docstring;
}();

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
