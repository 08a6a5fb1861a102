// Loading the tool catalogue that a host hands to an engine.
#pragma once

#include <expected>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/tool_metadata.hpp"
#include "common/json.hpp"

namespace ziri {

/// Loads the tools of a catalogue text; absent or blank text gives no tools.
/// Only text that is not JSON fails, with "invalid catalogue JSON: " and the
/// reader's description; every unusable entry is skipped.
std::expected<std::vector<ToolMetadata>, std::string> from_catalogue_json(
    std::optional<std::string_view> text);

// The loader's two rules, here for their tests.
namespace detail {

/// Appends the tools found in `value`, depth first. Objects with a "tools"
/// array are groups that pass their server id and description down; other
/// objects are tools. The views point into `value` and must outlive the call.
void collect_tool_metadata(const Json& value, std::optional<std::string_view> server_id,
                           std::optional<std::string_view> server_description,
                           std::vector<ToolMetadata>& tools);

/// The first of `keys` whose member is a non-blank string, or an object whose
/// "value" member is one; the trimmed text, viewed inside `object`.
std::optional<std::string_view> string_field(const JsonObject& object,
                                             std::initializer_list<std::string_view> keys);

}  // namespace detail
}  // namespace ziri
