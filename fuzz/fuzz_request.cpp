// The request path on arbitrary text: query and variables through execute_json
// with the bridge detached, so tool fields take placeholders and nothing waits.
// Input: the query, then optionally byte 0x01 and the variables text.
// Whatever comes in, the response is one JSON document of one of the two
// envelope shapes: {"data":{...},"errors":[]} or
// {"data":null,"errors":[{"message":"..."}]}.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/call_bridge.hpp"
#include "catalogue/catalogue.hpp"
#include "catalogue/field_index.hpp"
#include "execution/driver.hpp"
#include "execution/runtime.hpp"
#include "independent.hpp"

namespace {

// Fields that the seeds and the dictionary name, including one that shares its
// field name with another tool and one named like a built-in.
constexpr std::string_view kCatalogue = R"([
  {"server":"s","tools":[{"name":"t","description":"the t tool"},{"name":"w","readOnly":false}]},
  {"server":"files","name":"read"},
  {"server":"a-b","name":"c"},{"server":"a_b","name":"c"},
  {"server":"-","name":"typename"}
])";

struct Engine {
  std::vector<ziri::ToolMetadata> tools = ziri::from_catalogue_json(kCatalogue).value();
  ziri::FieldIndex fields{tools};
  std::shared_ptr<ziri::Runtime> runtime = std::make_shared<ziri::Runtime>(1);
  ziri::TokioCallBridge bridge;  // never attached
};

void check_envelope(const std::string& response) {
  fuzz::Doc doc = fuzz::read(response);
  fuzz::require(doc != nullptr, "the response is one JSON document", response);
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  fuzz::require(yyjson_is_obj(root) && yyjson_obj_size(root) == 2, "two members", response);
  yyjson_obj_iter it = yyjson_obj_iter_with(root);
  yyjson_val* first = yyjson_obj_iter_next(&it);
  yyjson_val* data = yyjson_obj_iter_get_val(first);
  yyjson_val* second = yyjson_obj_iter_next(&it);
  yyjson_val* errors = yyjson_obj_iter_get_val(second);
  fuzz::require(fuzz::str(first) == "data" && fuzz::str(second) == "errors",
                "\"data\" and then \"errors\"", response);
  fuzz::require(yyjson_is_arr(errors), "errors is an array", response);
  if (yyjson_arr_size(errors) == 0) {
    fuzz::require(yyjson_is_obj(data) && yyjson_obj_size(data) > 0,
                  "a success has the data of at least one field", response);
    return;
  }
  fuzz::require(yyjson_is_null(data) && yyjson_arr_size(errors) == 1,
                "a failure has null data and one error", response);
  yyjson_val* error = yyjson_arr_get_first(errors);
  fuzz::require(yyjson_is_obj(error) && yyjson_obj_size(error) == 1 &&
                    yyjson_is_str(fuzz::last_member(error, "message")),
                "the error is {\"message\": string}", response);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Engine engine;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view query = input;
  std::optional<std::string_view> variables;
  if (auto split = input.find('\x01'); split != std::string_view::npos) {
    query = input.substr(0, split);
    variables = input.substr(split + 1);
  }
  check_envelope(ziri::execute_json(engine.fields, engine.bridge, query, variables));
  return 0;
}
