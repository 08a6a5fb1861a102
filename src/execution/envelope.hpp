// The GraphQL response envelope and the result of a tool call that failed or was never made.
#pragma once

#include <string>
#include <string_view>

#include "catalogue/tool_metadata.hpp"
#include "common/json.hpp"

namespace ziri {

/// {"data":<data>,"errors":[]}
std::string graphql_success(const Json& data);

/// {"data":null,"errors":[{"message":<message>}]}
std::string graphql_error(std::string_view message);

/// {"isError":true,"json":null,"text":<message>}, the value a tool field takes
/// when its call failed.
Json tool_error_result(std::string_view message);

/// The tool error result of a tool field resolved with no bridge attached:
/// "SchemaEngine stub resolved <server>.<tool> but CallBridge is not wired yet".
Json placeholder_result(const ToolMetadata& tool);

}  // namespace ziri
