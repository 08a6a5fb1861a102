// The _graphql module: SchemaEngine and graphql_stub.
#include <Python.h>

#include "python/boundary.hpp"
#include "python/py_ref.hpp"
#include "python/schema_engine.hpp"

namespace ziri {
namespace {

// Made once per process and kept for later imports: the module refuses
// sub-interpreters, so the type only ever belongs to one interpreter. Two
// imports can run the module's exec at once (a free-threaded interpreter, or a
// collection that runs Python code midway), so the first one makes the types
// under a lock that detaches the waiting thread instead of holding up the rest.
PyObject* schema_engine_type = nullptr;
PyMutex types_mutex = {};

// The module's types, made on the first call; false with an error set.
bool make_types() {
  PyMutex_Lock(&types_mutex);
  if (!schema_engine_type) {
    if (ensure_internal_fault_type() == 0) schema_engine_type = create_schema_engine_type();
  }
  bool made = schema_engine_type != nullptr;
  PyMutex_Unlock(&types_mutex);
  return made;
}

PyObject* graphql_stub(PyObject*, PyObject*) {
  return PyUnicode_FromString("dive-ziri _graphql extension loaded");
}

PyMethodDef graphql_stub_def = {"graphql_stub", graphql_stub, METH_NOARGS,
                                "graphql_stub()\n--\n\n"};

// Adds `value` under `name` and lists the name in __all__.
int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* existing;
  if (PyObject_GetOptionalAttrString(module, "__all__", &existing) < 0) return -1;
  PyRef all = PyRef::steal(existing);
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyModule_AddObjectRef(module, name, value) < 0) return -1;
  return PyList_Append(all.get(), text.get());
}

int graphql_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "expected a module, got %T", module);
    return -1;
  }
  if (!make_types()) return -1;
  if (add_public(module, "SchemaEngine", schema_engine_type) < 0) return -1;
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) return -1;
  PyRef stub = PyRef::steal(PyCFunction_NewEx(&graphql_stub_def, module, name.get()));
  if (!stub) return -1;
  return add_public(module, "graphql_stub", stub.get());
}

PyModuleDef_Slot graphql_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(graphql_exec)},
    // The engine guards its own state, so free-threaded builds keep the GIL off.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The type is shared process-wide; another interpreter must not see it.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef graphql_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_graphql",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = graphql_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace ziri

PyMODINIT_FUNC PyInit__graphql(void) { return PyModuleDef_Init(&ziri::graphql_module); }
