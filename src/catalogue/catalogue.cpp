#include "catalogue/catalogue.hpp"

#include "catalogue/field_name.hpp"
#include "common/unicode.hpp"

namespace ziri {
namespace {

using detail::collect_tool_metadata;
using detail::string_field;

std::optional<std::string_view> usable_text(const Json* value) {
  const auto* text = value ? value->get_if<std::string>() : nullptr;
  if (!text) return std::nullopt;
  std::string_view trimmed = trim_white_space(*text);
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

// Only JSON booleans count: text such as "false" is not interpreted, so the
// next key decides and the flag stays true when none holds a boolean.
bool read_only_flag(const JsonObject& object) {
  for (std::string_view key : {"readOnly", "read_only", "readOnlyHint"}) {
    const Json* value = object.find(key);
    if (const bool* flag = value ? value->get_if<bool>() : nullptr) return *flag;
  }
  const Json* annotations = object.find("annotations");
  if (const auto* nested = annotations ? annotations->get_if<JsonObject>() : nullptr) {
    const Json* hint = nested->find("readOnlyHint");
    if (const bool* flag = hint ? hint->get_if<bool>() : nullptr) return *flag;
  }
  return true;
}

void collect_from_object(const JsonObject& object, std::optional<std::string_view> server_id,
                         std::optional<std::string_view> server_description,
                         std::vector<ToolMetadata>& tools) {
  // The entry's own values win over what its group passes down.
  if (auto own = string_field(object, {"server", "server_id", "serverId", "server_name"})) {
    server_id = own;
  }
  if (auto own = string_field(object, {"serverDescription", "server_description"})) {
    server_description = own;
  }

  const Json* members = object.find("tools");
  if (const auto* group = members ? members->get_if<JsonArray>() : nullptr) {
    for (const Json& entry : *group) {
      collect_tool_metadata(entry, server_id, server_description, tools);
    }
    return;
  }

  if (!server_id) return;
  auto name = string_field(object, {"name", "tool", "tool_name", "toolName"});
  if (!name) return;
  std::string_view description = string_field(object, {"description"}).value_or("");

  tools.push_back(ToolMetadata{
      .server_id = std::string(*server_id),
      .tool_name = std::string(*name),
      .description = std::string(description),
      .graphql_name = tool_field_name(*server_id, *name),
      .server_description = server_description
                                ? std::optional<std::string>(std::in_place, *server_description)
                                : std::nullopt,
      .read_only = read_only_flag(object),
  });
}

}  // namespace

namespace detail {

std::optional<std::string_view> string_field(const JsonObject& object,
                                             std::initializer_list<std::string_view> keys) {
  for (std::string_view key : keys) {
    const Json* value = object.find(key);
    if (auto text = usable_text(value)) return text;
    if (const auto* wrapper = value ? value->get_if<JsonObject>() : nullptr) {
      if (auto text = usable_text(wrapper->find("value"))) return text;
    }
  }
  return std::nullopt;
}

void collect_tool_metadata(const Json& value, std::optional<std::string_view> server_id,
                           std::optional<std::string_view> server_description,
                           std::vector<ToolMetadata>& tools) {
  // Parsed documents nest at most kJsonMaxDepth levels, which bounds the recursion.
  if (const auto* array = value.get_if<JsonArray>()) {
    for (const Json& element : *array) {
      collect_tool_metadata(element, server_id, server_description, tools);
    }
  } else if (const auto* object = value.get_if<JsonObject>()) {
    collect_from_object(*object, server_id, server_description, tools);
  }
}

}  // namespace detail

std::expected<std::vector<ToolMetadata>, std::string> from_catalogue_json(
    std::optional<std::string_view> text) {
  if (!text || is_blank(*text)) return {};
  auto document = parse_json(*text);
  if (!document) return std::unexpected("invalid catalogue JSON: " + document.error());
  std::vector<ToolMetadata> tools;
  collect_tool_metadata(*document, std::nullopt, std::nullopt, tools);
  return tools;
}

}  // namespace ziri
