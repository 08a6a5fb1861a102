#include "execution/envelope.hpp"

namespace ziri {
namespace {

// The envelope fixes its member order ("data" before "errors"), so it is
// written by hand rather than as a JsonObject, which would sort the keys.

// Bytes of the pre-written views at the top of `data`. A search over the whole
// catalogue is most of the response, and reserving for it up front keeps the
// envelope from copying it again while it grows.
std::size_t pre_written_size(const Json& data) {
  std::size_t size = 0;
  if (const auto* object = data.get_if<JsonObject>()) {
    for (const auto& [key, value] : *object) {
      if (const auto* raw = value.get_if<RawJson>()) size += key.size() + raw->size();
    }
  }
  return size;
}

}  // namespace

std::string graphql_success(const Json& data) {
  static constexpr std::string_view kHead = R"({"data":)";
  static constexpr std::string_view kTail = R"(,"errors":[]})";
  std::string out;
  // Some room besides for keys and small members; larger ones grow the buffer.
  out.reserve(kHead.size() + kTail.size() + pre_written_size(data) + 256);
  out += kHead;
  write_json(out, data);
  out += kTail;
  return out;
}

std::string graphql_error(std::string_view message) {
  static constexpr std::string_view kHead = R"({"data":null,"errors":[{"message":)";
  static constexpr std::string_view kTail = R"(}]})";
  std::string out;
  out.reserve(kHead.size() + message.size() + 2 + kTail.size());
  out += kHead;
  write_json_string(out, message);
  out += kTail;
  return out;
}

Json tool_error_result(std::string_view message) {
  return JsonObject::from_sorted({
      {"isError", true},
      {"json", nullptr},
      {"text", std::string(message)},
  });
}

Json placeholder_result(const ToolMetadata& tool) {
  return tool_error_result("SchemaEngine stub resolved " + tool.server_id + "." + tool.tool_name +
                           " but CallBridge is not wired yet");
}

}  // namespace ziri
