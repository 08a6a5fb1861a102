// Tool field resolution: every tool field of a request gets its value.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "bridge/call_bridge.hpp"
#include "catalogue/tool_metadata.hpp"
#include "common/json.hpp"

namespace ziri {

/// One tool field to resolve. It points at its tool in the engine's
/// catalogue, which never changes and outlives the request; a call copies the
/// texts it sends, so a field answered by its placeholder copies nothing.
struct ToolFieldJob {
  std::string response_key;
  const ToolMetadata* tool = nullptr;
  JsonObject arguments;
};

using FieldValue = std::pair<std::string, Json>;

/// Resolves every job and returns (response key, value) in job order. Fields
/// find the bridge detached take their placeholder at once; attached ones all
/// send their requests before any reply is needed and run concurrently on the
/// calling thread, which blocks only while they wait.
std::vector<FieldValue> resolve_tool_jobs(TokioCallBridge& bridge, std::vector<ToolFieldJob> jobs);

/// One attached tool field: its call's reply, or a tool error result.
asio::awaitable<Json> resolve_tool_field(TokioCallBridge& bridge, ToolFieldJob job);

}  // namespace ziri
