#include "common/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace ziri {
namespace {

struct RoundTrip {
  std::string input;
  std::string written;
};

class JsonRoundTrip : public testing::TestWithParam<RoundTrip> {};

// Parse, write, parse, write: the same text twice, and the expected one.
TEST_P(JsonRoundTrip, WritesCompactSortedText) {
  auto first = parse_json(GetParam().input);
  ASSERT_TRUE(first) << first.error();
  std::string text = to_json(*first);
  EXPECT_EQ(text, GetParam().written);
  auto second = parse_json(text);
  ASSERT_TRUE(second) << second.error();
  EXPECT_EQ(to_json(*second), text);
  EXPECT_EQ(*second, *first);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, JsonRoundTrip,
    testing::Values(RoundTrip{" \t\r\n{ \"b\" : 1 , \"a\" : [ true , false , null ] } \n",
                              R"({"a":[true,false,null],"b":1})"},
                    RoundTrip{R"({"k":1,"k":2,"j":0,"k":3})", R"({"j":0,"k":3})"},
                    RoundTrip{R"({"b":1,"B":2,"é":3,"a":4})", R"({"B":2,"a":4,"b":1,"é":3})"},
                    RoundTrip{"18446744073709551615", "18446744073709551615"},
                    RoundTrip{"-9223372036854775808", "-9223372036854775808"},
                    RoundTrip{"18446744073709551616", "18446744073709551616.0"},
                    RoundTrip{"[1.5,2e3,-0.0,0.1]", "[1.5,2000.0,-0.0,0.1]"},
                    RoundTrip{R"("\u0041\u00e9\ud83d\ude00\/")", "\"A\u00e9\U0001F600/\""},
                    RoundTrip{R"("q\"b\\n\nt\tc\u0001\u001fd\u007f")",
                              "\"q\\\"b\\\\n\\nt\\tc\\u0001\\u001fd\x7f\""},
                    RoundTrip{R"("\b\f\r")", R"("\b\f\r")"}, RoundTrip{"[]", "[]"},
                    RoundTrip{"{}", "{}"}));

struct Failure {
  std::string input;
  std::string message;
};

class JsonFailure : public testing::TestWithParam<Failure> {};

TEST_P(JsonFailure, DescribesWhereReadingStopped) {
  auto result = parse_json(GetParam().input);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, JsonFailure,
    testing::Values(
        Failure{"", "EOF while parsing a value at line 1 column 0"},
        Failure{"   ", "EOF while parsing a value at line 1 column 3"},
        Failure{"{", "EOF while parsing an object at line 1 column 1"},
        Failure{"[1,\n[2", "EOF while parsing a list at line 2 column 2"},
        Failure{"\"abc", "EOF while parsing a string at line 1 column 4"},
        Failure{"{} x", "trailing characters at line 1 column 4"},
        Failure{"{}\f", "trailing characters at line 1 column 3"},
        Failure{"01", "invalid number at line 1 column 1"},
        Failure{"[trux]", "expected ident at line 1 column 2"},
        Failure{"1.", "EOF while parsing a value at line 1 column 2"},
        Failure{"\"a\tb\"",
                "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                "column 3"},
        Failure{R"("\x")", "invalid escape at line 1 column 2"},
        // yyjson tells faults inside a string apart only by its English message: one row per
        // message it has, so that a rewording fails here instead of changing what hosts see.
        Failure{R"("\ud800\u")", "invalid escape at line 1 column 2"},
        Failure{R"("\ud800x")", "lone surrogate in hex escape at line 1 column 2"},
        Failure{R"("\ud800\u0041")", "lone surrogate in hex escape at line 1 column 2"},
        Failure{R"("\udc00")", "lone surrogate in hex escape at line 1 column 2"},
        Failure{"\"\xFF\"", "invalid unicode code point at line 1 column 2"},
        Failure{"\"\xFF", "invalid unicode code point at line 1 column 2"}));

TEST(JsonNesting, AcceptsTheDeepestAllowedLevelAndRefusesTheNext) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parse_json(nested(kJsonMaxDepth)));
  auto too_deep = parse_json(nested(kJsonMaxDepth + 1));
  ASSERT_FALSE(too_deep);
  EXPECT_EQ(too_deep.error(), "recursion limit exceeded at line 1 column 128");
  // The depth is found before a later syntax error, and without recursion.
  auto unclosed = parse_json(std::string(1'000'000, '[') + "x");
  ASSERT_FALSE(unclosed);
  EXPECT_EQ(unclosed.error(), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonWriter, WritesNonFiniteDoublesAsNull) {
  EXPECT_EQ(to_json(Json(JsonArray{Json(1.0 / 0.0), Json(std::nan(""))})), "[null,null]");
}

TEST(JsonObject, KeepsByteOrderAndLastValue) {
  JsonObject object;
  object.insert_or_assign("z", 1);
  object.insert_or_assign("a", 2);
  object.insert_or_assign("\xC3\xA9", 3);
  object.insert_or_assign("a", 4);
  EXPECT_EQ(to_json(object), "{\"a\":4,\"z\":1,\"\xC3\xA9\":3}");
  ASSERT_NE(object.find("z"), nullptr);
  EXPECT_EQ(object.find("b"), nullptr);
}

// Keys that share their first eight bytes, or differ only past a NUL, are
// ordered by the whole key; of equal keys the last one given stays.
TEST(JsonObject, FromUnsortedOrdersWholeKeysAndKeepsTheLastDuplicate) {
  using Members = std::vector<JsonObject::Member>;
  struct Case {
    Members members;
    std::string text;
  };
  const std::string nul("a\0", 2);
  for (const auto& [members, text] : std::vector<Case>{
           {Members{{"b", 1}, {"a", 2}, {"b", 3}, {"a", 4}}, R"({"a":4,"b":3})"},
           {Members{{"a", 1}, {"a", 2}, {"b", 3}, {"b", 4}}, R"({"a":2,"b":4})"},
           {Members{{"abcdefgh2", 1}, {"abcdefgh10", 2}, {"abcdefgh", 3}},
            R"({"abcdefgh":3,"abcdefgh10":2,"abcdefgh2":1})"},
           {Members{{nul, 1}, {"a", 2}, {"\xFF", 3}, {"~", 4}},
            std::string(R"({"a":2,"a)") + "\\u0000" + R"(":1,"~":4,")" + "\xFF" + R"(":3})"},
       }) {
    EXPECT_EQ(to_json(JsonObject::from_unsorted(members)), text);
  }
}

}  // namespace
}  // namespace ziri
