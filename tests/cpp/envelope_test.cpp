#include "execution/envelope.hpp"

#include <gtest/gtest.h>

#include <string>

#include "bridge/call_bridge.hpp"

namespace ziri {
namespace {

struct MessageCase {
  std::string message;
  std::string json;  // the message as written inside the texts
};

// Messages and how the writer must show them.
const MessageCase kMessages[] = {
    {"", R"("")"},
    {"unknown GraphQL field: foo", R"("unknown GraphQL field: foo")"},
    {"q\"b\\n\nend", R"("q\"b\\n\nend")"},
    {"ctl\x01\x1f\b\f\r\t", R"("ctl\u0001\u001f\b\f\r\t")"},
    {"caf\u00e9 \u65e5 /\x7f", "\"caf\u00e9 \u65e5 /\x7f\""},
};

class GraphqlError : public testing::TestWithParam<MessageCase> {};

TEST_P(GraphqlError, WritesNullDataAndOneError) {
  EXPECT_EQ(graphql_error(GetParam().message),
            R"({"data":null,"errors":[{"message":)" + GetParam().json + "}]}");
}

INSTANTIATE_TEST_SUITE_P(Messages, GraphqlError, testing::ValuesIn(kMessages));

class ToolError : public testing::TestWithParam<MessageCase> {};

TEST_P(ToolError, ResultAndTextAgree) {
  const std::string expected = R"({"isError":true,"json":null,"text":)" + GetParam().json + "}";
  Json result = tool_error_result(GetParam().message);
  ASSERT_TRUE(result.is<JsonObject>());
  EXPECT_EQ(to_json(result), expected);
  EXPECT_EQ(failure_reply_text(GetParam().message), expected);
}

INSTANTIATE_TEST_SUITE_P(Messages, ToolError, testing::ValuesIn(kMessages));

TEST(ToolErrorResult, CallersCanReadItsMembers) {
  Json result = tool_error_result("CallBridge is detached");
  const auto& object = *result.get_if<JsonObject>();
  EXPECT_EQ(object.size(), 3u);
  EXPECT_EQ(*object.find("isError"), Json(true));
  EXPECT_EQ(*object.find("json"), Json(nullptr));
  EXPECT_EQ(*object.find("text"), Json("CallBridge is detached"));
}

struct PlaceholderCase {
  std::string server;
  std::string tool;
  std::string json;
};

class PlaceholderResult : public testing::TestWithParam<PlaceholderCase> {};

TEST_P(PlaceholderResult, NamesTheToolInAnErrorResult) {
  ToolMetadata tool;
  tool.server_id = GetParam().server;
  tool.tool_name = GetParam().tool;
  Json result = placeholder_result(tool);
  EXPECT_TRUE(result.is<JsonObject>());
  EXPECT_EQ(to_json(result), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, PlaceholderResult,
    testing::Values(
        PlaceholderCase{
            "files", "read",
            R"({"isError":true,"json":null,"text":"SchemaEngine stub resolved files.read but CallBridge is not wired yet"})"},
        PlaceholderCase{
            "a.b", "c\"d\\e",
            R"({"isError":true,"json":null,"text":"SchemaEngine stub resolved a.b.c\"d\\e but CallBridge is not wired yet"})"}));

struct SuccessCase {
  Json data;
  std::string json;
};

JsonObject members_in_order(std::initializer_list<std::pair<const char*, Json>> members) {
  JsonObject object;
  for (const auto& [key, value] : members) object.insert_or_assign(key, value);
  return object;
}

class GraphqlSuccess : public testing::TestWithParam<SuccessCase> {};

TEST_P(GraphqlSuccess, WritesDataAndNoErrors) {
  EXPECT_EQ(graphql_success(GetParam().data), R"({"data":)" + GetParam().json + R"(,"errors":[]})");
}

INSTANTIATE_TEST_SUITE_P(
    Data, GraphqlSuccess,
    testing::Values(
        SuccessCase{JsonObject{}, "{}"},
        SuccessCase{members_in_order({{"z", 1}, {"a", "x\ny"}}), R"({"a":"x\ny","z":1})"},
        SuccessCase{members_in_order({{"search", RawJson{R"([{"b":1}])"}},
                                      {"files_read", tool_error_result("bad \"reply\"")},
                                      {"servers", RawJson{"[]"}}}),
                    R"({"files_read":{"isError":true,"json":null,"text":"bad \"reply\""},)"
                    R"("search":[{"b":1}],"servers":[]})"},
        SuccessCase{members_in_order({{"big", RawJson{"[" + std::string(100000, '1') + "]"}},
                                      {"list", JsonArray{nullptr, false, 2.5}}}),
                    "{\"big\":[" + std::string(100000, '1') + R"(],"list":[null,false,2.5]})"}));

}  // namespace
}  // namespace ziri
