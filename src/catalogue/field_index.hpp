// Lookup of catalogue tools by GraphQL field name.
#pragma once

#include <span>
#include <string_view>
#include <unordered_map>

#include "catalogue/tool_metadata.hpp"

namespace ziri {

/// Maps each field name to the first tool, in catalogue order, that has it;
/// later tools with the same name can never be selected. Refers into the
/// catalogue, which must outlive the index and never change.
class FieldIndex {
 public:
  explicit FieldIndex(std::span<const ToolMetadata> tools) : tools_(tools) {
    first_.reserve(tools.size());
    for (const auto& tool : tools) first_.try_emplace(tool.graphql_name, &tool);
  }

  std::span<const ToolMetadata> tools() const { return tools_; }

  const ToolMetadata* find(std::string_view field_name) const {
    auto it = first_.find(field_name);
    return it == first_.end() ? nullptr : it->second;
  }

 private:
  std::span<const ToolMetadata> tools_;
  std::unordered_map<std::string_view, const ToolMetadata*> first_;
};

}  // namespace ziri
