// The SchemaEngine type: the one class the module offers.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "bridge/call_bridge.hpp"
#include "catalogue/field_index.hpp"
#include "catalogue/tool_metadata.hpp"
#include "execution/runtime.hpp"

namespace ziri {

/// What an engine holds. Fixed after construction, so methods only read it;
/// all mutable state lives in the bridge and the runtime, which guard it.
struct SchemaEngine {
  explicit SchemaEngine(std::vector<ToolMetadata> loaded);

  const std::vector<ToolMetadata> tools;
  const FieldIndex fields{tools};
  // Shared with host-side waits, so an engine released meanwhile leaves them
  // valid. The bridge is declared last so that it goes first.
  const std::shared_ptr<Runtime> runtime;
  const std::shared_ptr<TokioCallBridge> bridge;
};

/// Creates the SchemaEngine type object (a new reference, or null with an error set).
PyObject* create_schema_engine_type();

}  // namespace ziri
