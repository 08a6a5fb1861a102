#include "catalogue/catalogue.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "catalogue/field_name.hpp"
#include "catalogue/tool_metadata.hpp"

namespace ziri {

// Readable failure output; internal so that other test files may print records too.
[[maybe_unused]] static void PrintTo(const ToolMetadata& tool, std::ostream* os) {
  *os << "{server=" << testing::PrintToString(tool.server_id)
      << " tool=" << testing::PrintToString(tool.tool_name)
      << " description=" << testing::PrintToString(tool.description)
      << " field=" << testing::PrintToString(tool.graphql_name)
      << " serverDescription=" << testing::PrintToString(tool.server_description)
      << " readOnly=" << tool.read_only << "}";
}

namespace {

ToolMetadata record(std::string server, std::string tool, std::string field,
                    std::string description = "",
                    std::optional<std::string> server_description = std::nullopt,
                    bool read_only = true) {
  return ToolMetadata{std::move(server),
                      std::move(tool),
                      std::move(description),
                      std::move(field),
                      std::move(server_description),
                      read_only};
}

std::vector<ToolMetadata> load(std::string_view text) {
  auto tools = from_catalogue_json(text);
  EXPECT_TRUE(tools) << tools.error();
  return tools ? *tools : std::vector<ToolMetadata>{};
}

// Loading: records, key alternatives, groups, order.

struct LoadCase {
  std::string name;
  std::string text;
  std::vector<ToolMetadata> tools;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class CatalogueLoad : public testing::TestWithParam<LoadCase> {};

TEST_P(CatalogueLoad, YieldsTheRecordsInCatalogueOrder) {
  EXPECT_EQ(load(GetParam().text), GetParam().tools);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogues, CatalogueLoad,
    testing::Values(
        LoadCase{"FullRecord",
                 R"({"server":"files","serverDescription":"File access","name":"read-file",
                     "description":"Reads a file","readOnly":false})",
                 {record("files", "read-file", "files_read_file", "Reads a file", "File access",
                         false)}},
        LoadCase{"OnlyServerAndName",
                 R"({"server":"files","name":"read"})",
                 {record("files", "read", "files_read")}},
        LoadCase{
            "TrimsUnicodeWhiteSpaceKeepsInnerSpace",
            R"({"server":" \u3000files\t","name":"\u00a0read\n","description":"  Reads  a file\u2028",
                     "serverDescription":"\u2003Files "})",
            {record("files", "read", "files_read", "Reads  a file", "Files")}},
        LoadCase{"ServerKeysInOrder",
                 R"([{"server":"a","server_id":"b","serverId":"c","server_name":"d","name":"t1"},
                     {"server_id":"b","serverId":"c","server_name":"d","name":"t2"},
                     {"serverId":"c","server_name":"d","name":"t3"},
                     {"server_name":"d","name":"t4"}])",
                 {record("a", "t1", "a_t1"), record("b", "t2", "b_t2"), record("c", "t3", "c_t3"),
                  record("d", "t4", "d_t4")}},
        LoadCase{"NameKeysInOrder",
                 R"([{"server":"s","name":"a","tool":"b","tool_name":"c","toolName":"d"},
                     {"server":"s","tool":"b","tool_name":"c","toolName":"d"},
                     {"server":"s","tool_name":"c","toolName":"d"},
                     {"server":"s","toolName":"d"}])",
                 {record("s", "a", "s_a"), record("s", "b", "s_b"), record("s", "c", "s_c"),
                  record("s", "d", "s_d")}},
        LoadCase{"ServerDescriptionKeysInOrder",
                 R"([{"server":"s","name":"a","serverDescription":"A","server_description":"B"},
                     {"server":"s","name":"b","serverDescription":" ","server_description":"B"}])",
                 {record("s", "a", "s_a", "", "A"), record("s", "b", "s_b", "", "B")}},
        LoadCase{"BlankServerFallsThroughToServerId",
                 R"({"server":"   ","server_id":"files","name":"read"})",
                 {record("files", "read", "files_read")}},
        LoadCase{"BlankNameFallsThroughToNextKey",
                 R"({"server":"s","name":"","toolName":"t"})",
                 {record("s", "t", "s_t")}},
        LoadCase{"ValueWrapperIsTrimmed",
                 R"({"server":{"value":" files "},"name":{"value":"read","other":1},
                     "description":{"value":"\tReads"},"serverDescription":{"value":"F"}})",
                 {record("files", "read", "files_read", "Reads", "F")}},
        LoadCase{
            "UnusableValuesPassOnToTheNextKey",
            R"({"server":7,"server_id":true,"serverId":{"value":"  "},"server_name":{"text":"x"},
                     "name":["n"],"tool":{"value":3},"tool_name":null,"toolName":{"value":"t"}})",
            {}},
        LoadCase{"LastUsableKeyAfterUnusableOnes",
                 R"({"server":7,"server_id":{"value":null},"serverId":{"value":"  "},
                     "server_name":{"value":"s"},"name":[],"toolName":"t"})",
                 {record("s", "t", "s_t")}},
        LoadCase{"WrapperInsideWrapperIsNotUnwrapped",
                 R"([{"server":{"value":{"value":"s"}},"name":"a"},
                     {"server":"s","name":{"value":{"value":"b"}}}])",
                 {}},
        LoadCase{"DescriptionOfWrongTypeIsEmpty",
                 R"([{"server":"s","name":"a","description":5},
                     {"server":"s","name":"b","description":{"value":" "}}])",
                 {record("s", "a", "s_a"), record("s", "b", "s_b")}},
        LoadCase{"LastDuplicateKeyWins",
                 R"({"server":"first","name":"n","server":"second"})",
                 {record("second", "n", "second_n")}},
        LoadCase{"EntriesWithoutServerOrNameAreSkipped",
                 R"([{"name":"no-server"},{"server":"s"},{"server":"s","name":"  "},
                     {"server":"s","description":"no name"},{"server":"s","name":"ok"}])",
                 {record("s", "ok", "s_ok")}},
        LoadCase{"ScalarsAmongEntriesAreIgnored",
                 R"([1,"text",null,true,{"server":"s","name":"a"},2.5])",
                 {record("s", "a", "s_a")}},
        LoadCase{"GroupPassesServerAndDescriptionDown",
                 R"({"server":"files","serverDescription":"File access",
                     "tools":[{"name":"read"},{"name":"write","readOnly":false}]})",
                 {record("files", "read", "files_read", "", "File access"),
                  record("files", "write", "files_write", "", "File access", false)}},
        LoadCase{
            "EntryOwnValuesWinSeparately",
            R"({"server":"files","serverDescription":"File access","tools":[
                     {"server":"net","name":"a"},
                     {"serverDescription":"Own","name":"b"},
                     {"server_name":"db","server_description":"Data","name":"c"}]})",
            {record("net", "a", "net_a", "", "File access"),
             record("files", "b", "files_b", "", "Own"), record("db", "c", "db_c", "", "Data")}},
        LoadCase{"GroupWithoutServerGivesOnlyEntriesWithTheirOwn",
                 R"({"serverDescription":"D","tools":[{"name":"a"},{"server":"s","name":"b"}]})",
                 {record("s", "b", "s_b", "", "D")}},
        LoadCase{
            "NestedGroupsInheritAndOverride",
            R"({"server":"outer","serverDescription":"O","tools":[
                     {"tools":[{"name":"a"}]},
                     {"server":"inner","tools":[{"name":"b"},{"tools":[{"name":"c"}]}]},
                     {"name":"d"}]})",
            {record("outer", "a", "outer_a", "", "O"), record("inner", "b", "inner_b", "", "O"),
             record("inner", "c", "inner_c", "", "O"), record("outer", "d", "outer_d", "", "O")}},
        LoadCase{"PlainArraysInsideGroupsPassValuesOn",
                 R"({"server":"s","tools":[[{"name":"a"}],[[{"name":"b"}]],"x"]})",
                 {record("s", "a", "s_a"), record("s", "b", "s_b")}},
        LoadCase{"GroupIsNeverATool",
                 R"({"server":"s","name":"group","description":"d","tools":[]})",
                 {}},
        LoadCase{"ToolsThatIsNoArrayMakesATool",
                 R"([{"server":"s","name":"a","tools":{"name":"inner"}},
                     {"server":"s","name":"b","tools":"x"},
                     {"server":"s","name":"c","tools":null}])",
                 {record("s", "a", "s_a"), record("s", "b", "s_b"), record("s", "c", "s_c")}},
        LoadCase{"WrappedObjectIsNeverWalked",
                 R"({"server":{"value":"s","tools":[{"name":"hidden"}]},"name":"n"})",
                 {record("s", "n", "s_n")}},
        LoadCase{"SiblingsDoNotInherit",
                 R"([{"server":"s","tools":[]},{"name":"orphan"},{"server":"t","name":"a"}])",
                 {record("t", "a", "t_a")}},
        LoadCase{"NestedArraysFlattenDepthFirst",
                 R"([[{"server":"s","name":"a"},{"server":"s","name":"b"}],
                     [[{"server":"s","tools":[{"name":"c"},[{"name":"d"}]]}],{"server":"s","name":"e"}],
                     {"server":"s","name":"f"}])",
                 {record("s", "a", "s_a"), record("s", "b", "s_b"), record("s", "c", "s_c"),
                  record("s", "d", "s_d"), record("s", "e", "s_e"), record("s", "f", "s_f")}},
        LoadCase{"DuplicatesStay",
                 R"([{"server":"s","name":"t"},{"server":"s","name":"t"},
                     {"server":"a-b","name":"c"},{"server":"a_b","name":"c"}])",
                 {record("s", "t", "s_t"), record("s", "t", "s_t"), record("a-b", "c", "a_b_c"),
                  record("a_b", "c", "a_b_c")}},
        LoadCase{"WhiteSpaceAroundTheDocument",
                 " \r\n\t[{\"server\":\"s\",\"name\":\"a\"}] \n",
                 {record("s", "a", "s_a")}},
        LoadCase{"EmptyArray", "[]", {}}, LoadCase{"EmptyObject", "{}", {}},
        LoadCase{"Number", "42", {}}, LoadCase{"Null", "null", {}}, LoadCase{"True", "true", {}},
        LoadCase{"String", R"("server")", {}}),
    [](const auto& info) { return info.param.name; });

// Read-only flag: the first real boolean among the keys decides.

struct FlagCase {
  std::string members;
  bool read_only;
};

class ReadOnlyFlag : public testing::TestWithParam<FlagCase> {};

TEST_P(ReadOnlyFlag, FirstBooleanInKeyOrderDecides) {
  auto tools = load(R"({"server":"s","name":"t")" + GetParam().members + "}");
  ASSERT_EQ(tools.size(), 1u);
  EXPECT_EQ(tools[0].read_only, GetParam().read_only) << GetParam().members;
}

INSTANTIATE_TEST_SUITE_P(
    Members, ReadOnlyFlag,
    testing::Values(FlagCase{"", true}, FlagCase{R"(,"readOnly":false)", false},
                    FlagCase{R"(,"readOnly":"false")", true}, FlagCase{R"(,"readOnly":0)", true},
                    FlagCase{R"(,"readOnly":{"value":false})", true},
                    FlagCase{R"(,"readOnly":false,"read_only":true)", false},
                    FlagCase{R"(,"readOnly":"no","read_only":false)", false},
                    FlagCase{R"(,"readOnly":null,"readOnlyHint":false)", false},
                    FlagCase{R"(,"read_only":true,"readOnlyHint":false)", true},
                    FlagCase{R"(,"annotations":{"readOnlyHint":false})", false},
                    FlagCase{R"(,"annotations":{"readOnlyHint":"false"})", true},
                    FlagCase{R"(,"annotations":{"readOnly":false})", true},
                    FlagCase{R"(,"annotations":[{"readOnlyHint":false}])", true},
                    FlagCase{R"(,"annotations":false)", true},
                    FlagCase{R"(,"readOnly":true,"annotations":{"readOnlyHint":false})", true},
                    FlagCase{R"(,"readOnlyHint":"x","annotations":{"readOnlyHint":false})",
                             false}));

// No text, blank text and failures.

class NoCatalogue : public testing::TestWithParam<std::optional<std::string>> {};

TEST_P(NoCatalogue, GivesNoToolsWithoutParsing) {
  auto tools = from_catalogue_json(GetParam());
  ASSERT_TRUE(tools) << tools.error();
  EXPECT_TRUE(tools->empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, NoCatalogue,
                         testing::Values(std::nullopt, "", "   ", "\n\t\r",
                                         // Blank in the Unicode sense, though not JSON space.
                                         "\u3000", "\u00a0 \u2028"));

class InvalidCatalogue : public testing::TestWithParam<std::string> {};

TEST_P(InvalidCatalogue, FailsWithTheReaderDescription) {
  auto tools = from_catalogue_json(GetParam());
  ASSERT_FALSE(tools);
  auto parsed = parse_json(GetParam());
  ASSERT_FALSE(parsed);
  EXPECT_EQ(tools.error(), "invalid catalogue JSON: " + parsed.error());
  EXPECT_TRUE(std::regex_match(tools.error(),
                               std::regex("invalid catalogue JSON: .+ at line \\d+ column \\d+")))
      << tools.error();
}

INSTANTIATE_TEST_SUITE_P(Texts, InvalidCatalogue,
                         testing::Values("[", R"([{"server":"s","name":"a"})", "{} x", "[1,]",
                                         "nul", "[]\n[]",
                                         // Only JSON's own space may surround the document.
                                         "\u3000[]", "[]\u00a0"));

TEST(InvalidCatalogueText, NamesTheLineOfTheError) {
  auto tools = from_catalogue_json("[\n  {\"server\":\"s\"},\n  {\"name\" 1}\n]");
  ASSERT_FALSE(tools);
  EXPECT_TRUE(tools.error().starts_with("invalid catalogue JSON: ")) << tools.error();
  EXPECT_NE(tools.error().find(" at line 3 column "), std::string::npos) << tools.error();
}

// The nesting limit of 127 levels counts arrays and objects alike.

std::string in_arrays(int depth, std::string_view inner) {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

std::string in_groups(int groups, std::string_view inner) {
  std::string text;
  for (int i = 0; i < groups; ++i) text += R"({"server":"deep","tools":[)";
  text += inner;
  for (int i = 0; i < groups; ++i) text += "]}";
  return text;
}

TEST(CatalogueNesting, ToolAtTheDeepestLevelIsLoaded) {
  EXPECT_EQ(load(in_arrays(126, R"({"server":"s","name":"a"})")),
            std::vector{record("s", "a", "s_a")});
  EXPECT_EQ(load(in_groups(63, R"({"name":"a"})")), std::vector{record("deep", "a", "deep_a")});
}

TEST(CatalogueNesting, OneLevelMoreFails) {
  auto arrays = from_catalogue_json(in_arrays(128, ""));
  ASSERT_FALSE(arrays);
  EXPECT_EQ(arrays.error(),
            "invalid catalogue JSON: recursion limit exceeded at line 1 column 128");

  for (const std::string& text :
       {in_arrays(127, R"({"server":"s","name":"a"})"), in_groups(63, R"([{"name":"a"}])")}) {
    auto tools = from_catalogue_json(text);
    ASSERT_FALSE(tools);
    EXPECT_TRUE(tools.error().starts_with("invalid catalogue JSON: recursion limit exceeded at "))
        << tools.error();
  }
}

// Walking a value directly.

TEST(CollectToolMetadata, AppendsWithInheritedValues) {
  auto value = parse_json(
      R"([{"name":"a"},{"server":"own","name":"b"},{"serverDescription":"X","name":"c"}])");
  ASSERT_TRUE(value) << value.error();
  std::vector<ToolMetadata> tools{record("old", "t", "old_t")};
  detail::collect_tool_metadata(*value, "srv", "Inherited", tools);
  EXPECT_EQ(tools,
            (std::vector{record("old", "t", "old_t"), record("srv", "a", "srv_a", "", "Inherited"),
                         record("own", "b", "own_b", "", "Inherited"),
                         record("srv", "c", "srv_c", "", "X")}));
}

// Text rule for one object.

struct StringFieldCase {
  std::string object;
  std::vector<std::string_view> keys;
  std::optional<std::string> text;
};

class StringField : public testing::TestWithParam<StringFieldCase> {};

TEST_P(StringField, ReturnsTheFirstUsableTrimmedText) {
  auto value = parse_json(GetParam().object);
  ASSERT_TRUE(value) << value.error();
  const auto& object = *value->get_if<JsonObject>();
  // initializer_list cannot be built from a vector, so try up to three keys.
  const auto& k = GetParam().keys;
  std::optional<std::string_view> found = k.size() == 1 ? detail::string_field(object, {k[0]})
                                          : k.size() == 2
                                              ? detail::string_field(object, {k[0], k[1]})
                                              : detail::string_field(object, {k[0], k[1], k[2]});
  EXPECT_EQ(found.transform([](std::string_view s) { return std::string(s); }), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, StringField,
    testing::Values(StringFieldCase{R"({"a":" x "})", {"a"}, "x"},
                    StringFieldCase{R"({"a":"x","b":"y"})", {"b", "a"}, "y"},
                    StringFieldCase{R"({"A":"x"})", {"a"}, std::nullopt},
                    StringFieldCase{R"({"a":"\t","b":{"value":" y"}})", {"a", "b"}, "y"},
                    StringFieldCase{
                        R"({"a":{"value":""},"b":{"Value":"y"},"c":"z"})", {"a", "b", "c"}, "z"},
                    StringFieldCase{R"({"a":1,"b":false,"c":null})", {"a", "b", "c"}, std::nullopt},
                    StringFieldCase{R"({"a":["x"],"b":{"value":["y"]}})", {"a", "b"}, std::nullopt},
                    StringFieldCase{R"({})", {"a", "b"}, std::nullopt}));

TEST(StringFieldView, PointsIntoTheObject) {
  auto value = parse_json(R"({"a":{"value":"  wrapped  "},"b":" plain "})");
  ASSERT_TRUE(value) << value.error();
  const auto& object = *value->get_if<JsonObject>();
  const std::string& wrapped =
      *object.find("a")->get_if<JsonObject>()->find("value")->get_if<std::string>();
  const std::string& plain = *object.find("b")->get_if<std::string>();
  auto from_wrapper = detail::string_field(object, {"a"});
  auto from_string = detail::string_field(object, {"b"});
  ASSERT_TRUE(from_wrapper && from_string);
  EXPECT_EQ(from_wrapper->data(), wrapped.data() + 2);
  EXPECT_EQ(from_string->data(), plain.data() + 1);
}

// Field names.

struct NameCase {
  std::string text;
  std::string name;
};

class SanitizeGraphqlName : public testing::TestWithParam<NameCase> {};

TEST_P(SanitizeGraphqlName, MapsOntoTheNameAlphabet) {
  EXPECT_EQ(sanitize_graphql_name(GetParam().text), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SanitizeGraphqlName,
    testing::Values(NameCase{"", "_"}, NameCase{"tracker", "tracker"},
                    NameCase{"Get-Issue", "Get_Issue"}, NameCase{"my tool.beta", "my_tool_beta"},
                    NameCase{"a/b\tc", "a_b_c"}, NameCase{"2fa", "_2fa"}, NameCase{"9", "_9"},
                    NameCase{"__x__", "__x__"}, NameCase{"-", "_"}, NameCase{"--", "__"},
                    NameCase{"AZaz09_", "AZaz09_"}, NameCase{"é", "_"}, NameCase{"日本", "__"},
                    NameCase{"a😀b", "a_b"}, NameCase{"é1", "_1"}, NameCase{"1é", "_1_"},
                    NameCase{"caf\u00e9\u0301", "caf__"},
                    // A stray byte of malformed UTF-8 still counts as one character.
                    NameCase{"\x80", "_"}, NameCase{"a\xC3", "a_"}, NameCase{"\xE6\x97x", "_x"}));

struct FieldCase {
  std::string server;
  std::string tool;
  std::string field;
};

class ToolFieldName : public testing::TestWithParam<FieldCase> {};

TEST_P(ToolFieldName, JoinsBothSanitizedParts) {
  EXPECT_EQ(tool_field_name(GetParam().server, GetParam().tool), GetParam().field);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ToolFieldName,
    testing::Values(FieldCase{"files", "read-file", "files_read_file"},
                    FieldCase{"3d", "2fa", "_3d__2fa"}, FieldCase{"a-b", "c", "a_b_c"},
                    FieldCase{"a", "b.c", "a_b_c"}, FieldCase{"a_b", "c", "a_b_c"},
                    FieldCase{"-", "typename", "__typename"}, FieldCase{"", "", "___"},
                    FieldCase{"日本", "ツール", "______"}));

}  // namespace
}  // namespace ziri
