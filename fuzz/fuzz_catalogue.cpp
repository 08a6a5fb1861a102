// The catalogue loader on arbitrary text. Besides the sanitizers' findings, the
// tools it loads must be the ones that a second, independent walk of the same
// document finds, in the same order.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/catalogue.hpp"
#include "catalogue/field_name.hpp"
#include "common/unicode.hpp"
#include "independent.hpp"

namespace {

using Found = std::vector<std::pair<std::string_view, std::string_view>>;

std::optional<std::string_view> usable(yyjson_val* value) {
  if (!yyjson_is_str(value)) return std::nullopt;
  std::string_view text = ziri::trim_white_space(fuzz::str(value));
  if (text.empty()) return std::nullopt;
  return text;
}

// A non-blank string member, or an object member whose "value" is one.
std::optional<std::string_view> text_of(yyjson_val* object,
                                        std::initializer_list<std::string_view> keys) {
  for (std::string_view key : keys) {
    yyjson_val* value = fuzz::last_member(object, key);
    if (auto text = usable(value)) return text;
    if (auto text = usable(fuzz::last_member(value, "value"))) return text;
  }
  return std::nullopt;
}

// Arrays hold entries; an object with a "tools" array is a group that passes
// its server down; any other object with a server and a name is a tool.
void walk(yyjson_val* value, std::optional<std::string_view> server, Found& found) {
  if (yyjson_is_arr(value)) {
    yyjson_val* item;
    yyjson_arr_iter it = yyjson_arr_iter_with(value);
    while ((item = yyjson_arr_iter_next(&it))) walk(item, server, found);
    return;
  }
  if (!yyjson_is_obj(value)) return;
  if (auto own = text_of(value, {"server", "server_id", "serverId", "server_name"})) server = own;
  yyjson_val* tools = fuzz::last_member(value, "tools");
  if (yyjson_is_arr(tools)) {
    walk(tools, server, found);
    return;
  }
  if (!server) return;
  if (auto name = text_of(value, {"name", "tool", "tool_name", "toolName"})) {
    found.emplace_back(*server, *name);
  }
}

bool is_graphql_name(std::string_view name) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (name.empty() || !letter(name[0])) return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto loaded = ziri::from_catalogue_json(text);

  if (ziri::is_blank(text)) {
    fuzz::require(loaded && loaded->empty(), "blank text loads no tools");
    return 0;
  }
  fuzz::Doc doc = fuzz::read(text);
  if (!doc || fuzz::container_depth(yyjson_doc_get_root(doc.get())) > fuzz::kMaxDepth) {
    fuzz::require(!loaded, "text that is not acceptable JSON fails to load");
    fuzz::require(loaded.error().starts_with("invalid catalogue JSON: "), "failure prefix",
                  loaded.error());
    return 0;
  }
  fuzz::require(loaded.has_value(), "acceptable JSON loads", loaded ? "" : loaded.error());

  Found expected;
  walk(yyjson_doc_get_root(doc.get()), std::nullopt, expected);
  fuzz::require(
      loaded->size() == expected.size(), "tool count equals the second walk's",
      std::to_string(loaded->size()) + " loaded, " + std::to_string(expected.size()) + " found");
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& tool = (*loaded)[i];
    fuzz::require(tool.server_id == expected[i].first && tool.tool_name == expected[i].second,
                  "tools in document order", tool.server_id + "." + tool.tool_name);
    fuzz::require(tool.graphql_name == ziri::tool_field_name(tool.server_id, tool.tool_name),
                  "field name of server and tool", tool.graphql_name);
    fuzz::require(is_graphql_name(tool.graphql_name), "field name is a GraphQL name",
                  tool.graphql_name);
  }
  return 0;
}
