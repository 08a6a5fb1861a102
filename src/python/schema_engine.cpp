#include "python/schema_engine.hpp"

#include <array>
#include <chrono>
#include <optional>
#include <string>

#include "catalogue/catalogue.hpp"
#include "catalogue/views.hpp"
#include "execution/driver.hpp"
#include "execution/envelope.hpp"
#include "python/arguments.hpp"
#include "python/boundary.hpp"

namespace ziri {
namespace {

struct SchemaEngineObject {
  PyObject_HEAD
  SchemaEngine* engine;
};

const SchemaEngine& engine_of(PyObject* self) {
  return *reinterpret_cast<SchemaEngineObject*>(self)->engine;
}

// The text of a result as a Python str.
PyObject* str_result(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Each method is a thin layer that binds and converts its arguments, then a
// typed *_impl that does the work; methods without arguments are their own.

// Construction

PyObject* new_impl(PyTypeObject* type, std::optional<std::string_view> catalogue_json) {
  auto tools = from_catalogue_json(catalogue_json);
  if (!tools) {
    PyErr_SetString(PyExc_ValueError, tools.error().c_str());
    return nullptr;
  }
  auto engine = std::make_unique<SchemaEngine>(std::move(*tools));
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<SchemaEngineObject*>(self)->engine = engine.release();
  return self;
}

void schema_engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Stops the runtime unless a host-side wait still holds it.
  delete reinterpret_cast<SchemaEngineObject*>(self)->engine;
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr std::array<const char*, 1> kCatalogueParameters{"catalogue_json"};
constexpr Signature kNewSignature{"SchemaEngine.__new__", kCatalogueParameters, 0};
constexpr Signature kBuildSignature{"SchemaEngine.build", kCatalogueParameters, 1};
constexpr Signature kFromToolMetadataSignature{"SchemaEngine.from_tool_metadata",
                                               kCatalogueParameters, 1};

PyObject* schema_engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 1> slots;
  if (!bind_arguments(kNewSignature, args, kwargs, slots)) return nullptr;
  std::optional<std::string_view> text;
  if (slots[0] && slots[0] != Py_None) {
    text = text_argument(kNewSignature, 0, slots[0]);
    if (!text) return nullptr;
  }
  return guarded([&] { return new_impl(type, text); });
}

PyObject* build_from(const Signature& signature, PyObject* cls, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 1> slots;
  if (!bind_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
  auto text = text_argument(signature, 0, slots[0]);
  if (!text) return nullptr;
  return guarded([&] { return new_impl(reinterpret_cast<PyTypeObject*>(cls), text); });
}

PyObject* schema_engine_build(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return build_from(kBuildSignature, cls, args, nargs, kwnames);
}

PyObject* schema_engine_from_tool_metadata(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  return build_from(kFromToolMetadataSignature, cls, args, nargs, kwnames);
}

// Catalogue

PyObject* schema_engine_describe(PyObject* self, PyObject*) {
  return guarded([&] { return str_result(describe_text(engine_of(self).tools)); });
}

PyObject* schema_engine_tool_count(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(engine_of(self).tools.size());
}

// Call bridge, host side

PyObject* schema_engine_attach_call_bridge(PyObject* self, PyObject*) {
  engine_of(self).bridge->attach();
  Py_RETURN_NONE;
}

PyObject* schema_engine_detach_call_bridge(PyObject* self, PyObject*) {
  return guarded([&] {
    engine_of(self).bridge->detach();
    Py_RETURN_NONE;
  });
}

PyObject* receive_tool_call_impl(const SchemaEngine& engine, std::uint64_t timeout_ms) {
  // Our own references: the engine may be released while we wait.
  std::shared_ptr<Runtime> runtime = engine.runtime;
  std::shared_ptr<TokioCallBridge> bridge = engine.bridge;
  std::expected<std::optional<std::string>, std::string> received;
  // Limits beyond what milliseconds can hold wait "forever" all the same.
  auto limit = std::chrono::milliseconds(static_cast<std::int64_t>(
      std::min<std::uint64_t>(timeout_ms, std::chrono::milliseconds::max().count())));
  bool ok = without_gil([&] {
    received = bridge->receive_json(limit);
    bridge.reset();
    runtime.reset();
  });
  if (!ok) return nullptr;
  // Never taken today (receive_json cannot fail, see its comment); kept
  // because a failed receive is the host's ValueError with its message.
  if (!received) {
    PyErr_SetString(PyExc_ValueError, received.error().c_str());
    return nullptr;
  }
  if (!*received) Py_RETURN_NONE;
  return str_result(**received);
}

constexpr std::array<const char*, 1> kReceiveParameters{"timeout_ms"};
constexpr Signature kReceiveSignature{"SchemaEngine.receive_tool_call", kReceiveParameters, 0,
                                      "..."};

PyObject* schema_engine_receive_tool_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  std::array<PyObject*, 1> slots;
  if (!bind_arguments(kReceiveSignature, args, nargs, kwnames, slots)) return nullptr;
  std::uint64_t timeout_ms = 100;
  if (slots[0]) {
    auto converted = u64_argument(kReceiveSignature, 0, slots[0]);
    if (!converted) return nullptr;
    timeout_ms = *converted;
  }
  return guarded([&] { return receive_tool_call_impl(engine_of(self), timeout_ms); });
}

// Both answer a request by id: with the host's result, or with a tool error
// result made of its message.
PyObject* answer_tool_call_impl(const SchemaEngine& engine, std::string_view request_id,
                                std::string reply) {
  return PyBool_FromLong(engine.bridge->respond(request_id, std::move(reply)));
}

constexpr std::array<const char*, 2> kRespondParameters{"request_id", "result_json"};
constexpr Signature kRespondSignature{"SchemaEngine.respond_tool_call", kRespondParameters, 2};
constexpr std::array<const char*, 2> kFailParameters{"request_id", "message"};
constexpr Signature kFailSignature{"SchemaEngine.fail_tool_call", kFailParameters, 2};

template <class MakeReply>
PyObject* answer_tool_call(const Signature& signature, PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, MakeReply make_reply) {
  std::array<PyObject*, 2> slots;
  if (!bind_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
  auto request_id = text_argument(signature, 0, slots[0]);
  if (!request_id) return nullptr;
  auto text = text_argument(signature, 1, slots[1]);
  if (!text) return nullptr;
  return guarded(
      [&] { return answer_tool_call_impl(engine_of(self), *request_id, make_reply(*text)); });
}

PyObject* schema_engine_respond_tool_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  return answer_tool_call(kRespondSignature, self, args, nargs, kwnames,
                          [](std::string_view result) { return std::string(result); });
}

PyObject* schema_engine_fail_tool_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return answer_tool_call(kFailSignature, self, args, nargs, kwnames, failure_reply_text);
}

// Execution

// The texts are the engine's own copies, so nothing run without the lock
// touches Python memory.
PyObject* execute_impl(const SchemaEngine& engine, std::string query,
                       std::optional<std::string> variables) {
  std::string response;
  bool ok = without_gil(
      [&] { response = execute_json(engine.fields, *engine.bridge, query, variables); });
  if (!ok) return nullptr;
  return str_result(response);
}

constexpr std::array<const char*, 2> kExecuteParameters{"query", "variables_json"};
constexpr Signature kExecuteSignature{"SchemaEngine.execute", kExecuteParameters, 1};

PyObject* schema_engine_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  std::array<PyObject*, 2> slots;
  if (!bind_arguments(kExecuteSignature, args, nargs, kwnames, slots)) return nullptr;
  auto query = text_argument(kExecuteSignature, 0, slots[0]);
  if (!query) return nullptr;
  std::optional<std::string_view> variables;
  if (slots[1] && slots[1] != Py_None) {
    variables = text_argument(kExecuteSignature, 1, slots[1]);
    if (!variables) return nullptr;
  }
  return guarded([&] {
    return execute_impl(engine_of(self), std::string(*query),
                        std::optional<std::string>(variables));
  });
}

// The type

// Fast-call methods, as the method table must hold them.
template <auto method>
PyCFunction fast_call() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef schema_engine_methods[] = {
    {"build", fast_call<schema_engine_build>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     kDocstring<kBuildSignature, Receiver::kClass>.data()},
    {"from_tool_metadata", fast_call<schema_engine_from_tool_metadata>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     kDocstring<kFromToolMetadataSignature, Receiver::kClass>.data()},
    {"describe", schema_engine_describe, METH_NOARGS, "describe($self)\n--\n\n"},
    {"tool_count", schema_engine_tool_count, METH_NOARGS, "tool_count($self)\n--\n\n"},
    {"attach_call_bridge", schema_engine_attach_call_bridge, METH_NOARGS,
     "attach_call_bridge($self)\n--\n\n"},
    {"detach_call_bridge", schema_engine_detach_call_bridge, METH_NOARGS,
     "detach_call_bridge($self)\n--\n\n"},
    {"receive_tool_call", fast_call<schema_engine_receive_tool_call>(),
     METH_FASTCALL | METH_KEYWORDS, kDocstring<kReceiveSignature, Receiver::kInstance>.data()},
    {"respond_tool_call", fast_call<schema_engine_respond_tool_call>(),
     METH_FASTCALL | METH_KEYWORDS, kDocstring<kRespondSignature, Receiver::kInstance>.data()},
    {"fail_tool_call", fast_call<schema_engine_fail_tool_call>(), METH_FASTCALL | METH_KEYWORDS,
     kDocstring<kFailSignature, Receiver::kInstance>.data()},
    {"execute", fast_call<schema_engine_execute>(), METH_FASTCALL | METH_KEYWORDS,
     kDocstring<kExecuteSignature, Receiver::kInstance>.data()},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kSchemaEngineSummary[] =
    "Minimal GraphQL schema engine exposed to Python.\n\n"
    "The native side owns GraphQL execution and the channel bridge to the host:\n"
    "tool resolvers put requests on a channel, wait on a per-call one-shot reply,\n"
    "and never call Python while holding the GIL.";

PyType_Slot schema_engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(schema_engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(schema_engine_dealloc)},
    {Py_tp_methods, schema_engine_methods},
    {Py_tp_doc,
     const_cast<char*>(
         kDocstring<kNewSignature, Receiver::kConstructor, kSchemaEngineSummary>.data())},
    {0, nullptr},
};

// A module prefix in the name gives the type its __module__; without one the
// interpreter warns on import and introspection of the type fails.
PyType_Spec schema_engine_spec = {
    .name = "_graphql.SchemaEngine",
    .basicsize = sizeof(SchemaEngineObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,  // not a base type: subclasses cannot be made
    .slots = schema_engine_slots,
};

}  // namespace

SchemaEngine::SchemaEngine(std::vector<ToolMetadata> loaded)
    : tools(std::move(loaded)),
      runtime(Runtime::build()),
      bridge(std::make_shared<TokioCallBridge>()) {}

PyObject* create_schema_engine_type() { return PyType_FromSpec(&schema_engine_spec); }

}  // namespace ziri
