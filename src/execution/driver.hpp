// The query execution driver: one request in, the response text out.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bridge/call_bridge.hpp"
#include "catalogue/field_index.hpp"

namespace ziri {

/// Answers one GraphQL request against a catalogue. Never fails: every failure
/// of the request is inside the returned response text. Blocks the calling
/// thread only while attached tool fields wait for their replies.
std::string execute_json(const FieldIndex& catalogue, TokioCallBridge& bridge,
                         std::string_view query, std::optional<std::string_view> variables_json);

}  // namespace ziri
