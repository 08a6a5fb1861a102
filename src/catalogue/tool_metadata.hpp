// One tool of the catalogue, as the loader builds it.
#pragma once

#include <optional>
#include <string>

namespace ziri {

/// A catalogue record. It owns its texts and is never changed after loading,
/// so requests can share the catalogue without locking.
struct ToolMetadata {
  std::string server_id;
  std::string tool_name;
  std::string description;
  std::string graphql_name;  // tool_field_name(server_id, tool_name): never needs escaping
  std::optional<std::string> server_description;
  bool read_only = true;
  friend bool operator==(const ToolMetadata&, const ToolMetadata&) = default;
};

}  // namespace ziri
