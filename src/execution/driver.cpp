#include "execution/driver.hpp"

#include <vector>

#include "catalogue/views.hpp"
#include "common/unicode.hpp"
#include "execution/envelope.hpp"
#include "execution/resolve.hpp"
#include "graphql/parser.hpp"

namespace ziri {

std::string execute_json(const FieldIndex& catalogue, TokioCallBridge& bridge,
                         std::string_view query, std::optional<std::string_view> variables_json) {
  query = trim_white_space(query);
  if (query.empty()) return graphql_error("GraphQL query must not be blank");

  auto variables = parse_variables(variables_json);
  if (!variables) return graphql_error(variables.error());

  auto fields = parse_top_level_fields(query, *variables);
  if (!fields) return graphql_error(fields.error());
  if (fields->empty())
    return graphql_error("GraphQL query must select at least one top-level field");

  // Members are gathered in order and sorted once: inserting each under its
  // key would move every later member, quadratic in the number of fields.
  // Tool values come after the built-ins, so under a shared key the tool wins.
  std::vector<JsonObject::Member> data;
  data.reserve(fields->size());
  std::vector<ToolFieldJob> jobs;
  for (auto& field : *fields) {
    // Built-in names come first, so a tool can never shadow them.
    if (field.field_name == "__typename") {
      data.emplace_back(std::move(field.response_key), "Query");
    } else if (field.field_name == "servers") {
      data.emplace_back(std::move(field.response_key), server_summaries(catalogue.tools()));
    } else if (field.field_name == "search") {
      data.emplace_back(std::move(field.response_key), search_hits(catalogue.tools()));
    } else {
      const ToolMetadata* tool = catalogue.find(field.field_name);
      if (!tool) return graphql_error("unknown GraphQL field: " + field.field_name);
      jobs.push_back({std::move(field.response_key), tool, std::move(field.arguments)});
    }
  }
  for (auto& [key, value] : resolve_tool_jobs(bridge, std::move(jobs))) {
    data.emplace_back(std::move(key), std::move(value));
  }
  return graphql_success(Json(JsonObject::from_unsorted(std::move(data))));
}

}  // namespace ziri
