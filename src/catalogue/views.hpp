// Read-only views over the catalogue: the engine description and the `servers`
// and `search` fields.
#pragma once

#include <span>
#include <string>

#include "catalogue/tool_metadata.hpp"
#include "common/json.hpp"

namespace ziri {

/// "dive-ziri GraphQL schema engine stub (N tool fields)", N counting every record.
std::string describe_text(std::span<const ToolMetadata> tools);

/// One summary per server id, in byte order of the ids:
/// {"description","name","readOnlyCount","toolCount"}. A RawJson array that
/// points into `tools`, which must outlive it.
Json server_summaries(std::span<const ToolMetadata> tools);

/// One hit per record, in catalogue order:
/// {"description","field","readOnly","server","tool"}. A RawJson array that
/// points into `tools`, which must outlive it.
Json search_hits(std::span<const ToolMetadata> tools);

}  // namespace ziri
