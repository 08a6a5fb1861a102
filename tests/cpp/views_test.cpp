#include "catalogue/views.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/field_name.hpp"

namespace ziri {
namespace {

ToolMetadata tool(std::string server, std::string name, bool read_only = true,
                  std::optional<std::string> server_description = std::nullopt,
                  std::string description = "") {
  std::string field = tool_field_name(server, name);
  return ToolMetadata{std::move(server),
                      std::move(name),
                      std::move(description),
                      std::move(field),
                      std::move(server_description),
                      read_only};
}

std::string raw_text(const Json& value) {
  const auto* raw = value.get_if<RawJson>();
  EXPECT_NE(raw, nullptr) << "expected pre-written JSON";
  return raw ? raw->text() : "";
}

struct DescribeCase {
  std::vector<ToolMetadata> tools;
  std::string text;
};

class DescribeText : public testing::TestWithParam<DescribeCase> {};

TEST_P(DescribeText, CountsEveryRecord) {
  EXPECT_EQ(describe_text(GetParam().tools), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogues, DescribeText,
    testing::Values(DescribeCase{{}, "dive-ziri GraphQL schema engine stub (0 tool fields)"},
                    DescribeCase{{tool("a-b", "c"), tool("a_b", "c"), tool("a_b", "c")},
                                 "dive-ziri GraphQL schema engine stub (3 tool fields)"},
                    DescribeCase{std::vector<ToolMetadata>(1234, tool("s", "t")),
                                 "dive-ziri GraphQL schema engine stub (1234 tool fields)"}));

struct ViewCase {
  std::string name;
  std::vector<ToolMetadata> tools;
  std::string json;
};

void PrintTo(const ViewCase& c, std::ostream* os) { *os << c.name; }

class ServerSummaries : public testing::TestWithParam<ViewCase> {};

TEST_P(ServerSummaries, OneObjectPerServerInByteOrder) {
  EXPECT_EQ(raw_text(server_summaries(GetParam().tools)), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogues, ServerSummaries,
    testing::Values(
        ViewCase{"Empty", {}, "[]"},
        ViewCase{"CountsReadOnlyTools",
                 {tool("files", "read"), tool("files", "write", false)},
                 R"([{"description":"","name":"files","readOnlyCount":1,"toolCount":2}])"},
        ViewCase{"ByteOrderNotCatalogueOrder",
                 {tool("beta", "t"), tool("Alpha", "t"), tool("alpha", "t")},
                 R"([{"description":"","name":"Alpha","readOnlyCount":1,"toolCount":1},)"
                 R"({"description":"","name":"alpha","readOnlyCount":1,"toolCount":1},)"
                 R"({"description":"","name":"beta","readOnlyCount":1,"toolCount":1}])"},
        ViewCase{"PrefixFirstAndUnsignedBytes",
                 {tool("\u00e9", "t"), tool("ab", "t"), tool("a b", "t"), tool("a", "t")},
                 R"([{"description":"","name":"a","readOnlyCount":1,"toolCount":1},)"
                 R"({"description":"","name":"a b","readOnlyCount":1,"toolCount":1},)"
                 R"({"description":"","name":"ab","readOnlyCount":1,"toolCount":1},)"
                 "{\"description\":\"\",\"name\":\"\u00e9\",\"readOnlyCount\":1,\"toolCount\":1}]"},
        ViewCase{"InterleavedServersAreCountedTogether",
                 {tool("b", "1", false), tool("a", "1"), tool("b", "2"), tool("a", "2", false),
                  tool("b", "3"), tool("a", "3", false)},
                 R"([{"description":"","name":"a","readOnlyCount":1,"toolCount":3},)"
                 R"({"description":"","name":"b","readOnlyCount":2,"toolCount":3}])"},
        ViewCase{"FirstPresentDescriptionWins",
                 {tool("s", "1"), tool("s", "2", true, "Second"), tool("s", "3", true, "Third")},
                 R"([{"description":"Second","name":"s","readOnlyCount":3,"toolCount":3}])"},
        ViewCase{"FirstDescriptionIsKept",
                 {tool("s", "1", false, "First"), tool("s", "2", false, "Other")},
                 R"([{"description":"First","name":"s","readOnlyCount":0,"toolCount":2}])"},
        ViewCase{"SharedFieldNamesCountSeparately",
                 {tool("a-b", "c"), tool("a_b", "c"), tool("a-b", "c")},
                 R"([{"description":"","name":"a-b","readOnlyCount":2,"toolCount":2},)"
                 R"({"description":"","name":"a_b","readOnlyCount":1,"toolCount":1}])"},
        ViewCase{
            "TextsAreEscaped",
            {tool("q\"\\", "t", true, "line\nbreak\x01/")},
            R"([{"description":"line\nbreak\u0001/","name":"q\"\\","readOnlyCount":1,"toolCount":1}])"}),
    [](const auto& info) { return info.param.name; });

class SearchHits : public testing::TestWithParam<ViewCase> {};

TEST_P(SearchHits, OneObjectPerRecordInCatalogueOrder) {
  EXPECT_EQ(raw_text(search_hits(GetParam().tools)), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogues, SearchHits,
    testing::Values(
        ViewCase{"Empty", {}, "[]"},
        ViewCase{
            "OneReadOnlyTool",
            {tool("files", "read")},
            R"([{"description":"","field":"files_read","readOnly":true,"server":"files","tool":"read"}])"},
        ViewCase{
            "CatalogueOrderWithDuplicatesAndNoServerDescription",
            {tool("zeta", "write-it", false, "Z", "does things"), tool("a-b", "c"),
             tool("a_b", "c")},
            R"([{"description":"does things","field":"zeta_write_it","readOnly":false,"server":"zeta","tool":"write-it"},)"
            R"({"description":"","field":"a_b_c","readOnly":true,"server":"a-b","tool":"c"},)"
            R"({"description":"","field":"a_b_c","readOnly":true,"server":"a_b","tool":"c"}])"},
        ViewCase{"TextsAreEscaped",
                 {tool("s\t", "\"t\"", true, std::nullopt, "a\\b\u00e9\x1f")},
                 "[{\"description\":\"a\\\\b\u00e9\\u001f\",\"field\":\"s___t_\",\"readOnly\":true,"
                 "\"server\":\"s\\t\",\"tool\":\"\\\"t\\\"\"}]"}),
    [](const auto& info) { return info.param.name; });

// The hand-written hits must read exactly as the generic writer would write them.
TEST(SearchHitsText, MatchesTheGenericWriter) {
  std::vector<ToolMetadata> tools;
  const std::string texts[] = {"plain",        "",         "quote\"", "back\\slash", "ctl\x02\x7f",
                               "\u00e9\u65e5", "tab\tnl\n"};
  for (int i = 0; i < 70; ++i) {
    tools.push_back(tool(texts[i % 7], texts[(i / 7) % 7] + std::to_string(i), i % 3 == 0,
                         std::nullopt, texts[(i + 3) % 7]));
  }
  JsonArray expected;
  for (const ToolMetadata& t : tools) {
    JsonObject hit;
    hit.insert_or_assign("server", t.server_id);
    hit.insert_or_assign("tool", t.tool_name);
    hit.insert_or_assign("field", t.graphql_name);
    hit.insert_or_assign("description", t.description);
    hit.insert_or_assign("readOnly", t.read_only);
    expected.push_back(std::move(hit));
  }
  std::string text = raw_text(search_hits(tools));
  EXPECT_EQ(text, to_json(expected));
  auto parsed = parse_json(text);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(*parsed, Json(expected));
}

}  // namespace
}  // namespace ziri
