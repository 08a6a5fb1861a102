// GraphQL field names for catalogue tools.
#pragma once

#include <string>
#include <string_view>

namespace ziri {

/// Maps any UTF-8 text onto the GraphQL name alphabet: ASCII letters, digits
/// and '_' stay, every other character becomes one '_', a leading digit gets a
/// '_' in front, and the empty text becomes "_".
std::string sanitize_graphql_name(std::string_view text);

/// The field name of a tool: both parts sanitized, joined by '_'.
std::string tool_field_name(std::string_view server_id, std::string_view tool_name);

}  // namespace ziri
