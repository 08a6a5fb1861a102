// The GraphQL response envelope and the result of a failed tool call.
#pragma once

#include <string>
#include <string_view>

#include "common/json.hpp"

namespace ziri {

/// {"data":<data>,"errors":[]}
std::string graphql_success(const Json& data);

/// {"data":null,"errors":[{"message":<message>}]}
std::string graphql_error(std::string_view message);

/// {"isError":true,"json":null,"text":<message>}, the value a tool field takes
/// when its call failed.
Json tool_error_result(std::string_view message);

}  // namespace ziri
