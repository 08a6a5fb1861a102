#include "graphql/parser.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ziri {
namespace {

// The parser's own message texts: the described wording is pinned by the
// Python tests of execute; these tables check which message each input gives.
namespace m = detail::messages;
constexpr std::string_view kTooDeep = m::kValueTooDeep;

// A selected field as compared in the tables: its arguments as compact JSON text, which also
// tells integers ("2") from doubles ("2.0").
struct Field {
  std::string response_key;
  std::string field_name;
  std::string arguments = "{}";
  friend bool operator==(const Field&, const Field&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Field& f) {
    return os << f.response_key << ":" << f.field_name << f.arguments;
  }
};

std::vector<Field> fields_of(const std::vector<SelectedField>& selected) {
  std::vector<Field> fields;
  for (const SelectedField& s : selected) {
    fields.push_back({s.response_key, s.field_name, to_json(Json(s.arguments))});
  }
  return fields;
}

JsonObject variables_from(std::string_view json) {
  auto variables = parse_variables(json);
  EXPECT_TRUE(variables) << variables.error();
  return variables ? *variables : JsonObject{};
}

std::string repeat(std::string_view part, std::size_t times) {
  std::string out;
  out.reserve(part.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(part);
  return out;
}

// Documents that parse, with the fields they select.

struct DocumentCase {
  std::string name;
  std::string source;
  std::vector<Field> fields;
  std::string variables = "{}";
};

void PrintTo(const DocumentCase& c, std::ostream* os) { *os << c.name; }

class ParsesDocument : public testing::TestWithParam<DocumentCase> {};

TEST_P(ParsesDocument, SelectsFields) {
  const DocumentCase& c = GetParam();
  JsonObject variables = variables_from(c.variables);
  auto result = parse_top_level_fields(c.source, variables);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(fields_of(*result), c.fields);
}

const Field kA{"a", "a"};
const Field kB{"b", "b"};

INSTANTIATE_TEST_SUITE_P(
    Operations, ParsesDocument,
    testing::Values(
        DocumentCase{"Shorthand", "{ a }", {kA}}, DocumentCase{"QueryKeyword", "query { a }", {kA}},
        DocumentCase{
            "NamedWithDefinitionsAndDirective", "query Named($x: Int = 1) @dir { a }", {kA}},
        DocumentCase{"Mutation", "mutation { a }", {kA}},
        DocumentCase{"Subscription", "subscription { a }", {kA}},
        DocumentCase{"NameRightBeforeDefinitions", "query Q($a:Int){a}", {kA}},
        DocumentCase{"AnonymousWithDefinitions", "query ($x: [Int] = [1, 2]) { a }", {kA}},
        DocumentCase{"DefinitionDefaultHoldsParenthesis", "query ($s: String = \")\") { a }", {kA}},
        DocumentCase{"CommentAfterKeyword", "query# c\n{ a }", {kA}},
        DocumentCase{
            "OperationDirectiveArgumentHoldsBrace", "query Q @dir(a: \"}\") @e { a }", {kA}},
        DocumentCase{"LeadingIgnoredBytes", "\t\n\f\r ,# note\n{,a,}", {kA}},
        DocumentCase{"TrailingGarbage", "{ a } trailing garbage {", {kA}},
        DocumentCase{"SecondOperationIgnored", "{ a } { b }", {kA}}),
    [](const auto& test) { return test.param.name; });

INSTANTIATE_TEST_SUITE_P(
    SelectionSets, ParsesDocument,
    testing::Values(
        DocumentCase{"Empty", "{}", {}},
        DocumentCase{"Aliases", "{ x: a y : a }", {{"x", "a"}, {"y", "a"}}},
        DocumentCase{"DuplicatesKept", "{ a a }", {kA, kA}},
        DocumentCase{"NoSeparator", "{a b}", {kA, kB}},
        DocumentCase{"CommaSeparator", "{a,b}", {kA, kB}},
        DocumentCase{"ArgumentsThenField", "{a(x:1)b}", {{"a", "a", R"({"x":1})"}, kB}},
        DocumentCase{"CommentEndedByLf", "{ a # note\n b }", {kA, kB}},
        DocumentCase{"CommentEndedByCr", "{ a # note\r b }", {kA, kB}},
        DocumentCase{"NameWithDigitsAndUnderscore", "{ _a1: __typename }", {{"_a1", "__typename"}}},
        DocumentCase{"RepeatedArgumentKeepsLast", "{ a(x: 1, x: 2) }", {{"a", "a", R"({"x":2})"}}},
        DocumentCase{
            "ArgumentsSorted", "{ a(b: 1, a: 2, c: 3) }", {{"a", "a", R"({"a":2,"b":1,"c":3})"}}},
        DocumentCase{"EmptyArguments", "{ a() }", {kA}},
        DocumentCase{
            "AliasArgumentsDirectiveNested", "{ k: f(x: 1) @d { n } }", {{"k", "f", R"({"x":1})"}}},
        DocumentCase{"NestedSetSkipped", "{ a { b c } d }", {kA, {"d", "d"}}},
        DocumentCase{"NestedStringHoldsBrace", "{ a { b(s: \"}\") } c }", {kA, {"c", "c"}}},
        DocumentCase{
            "NestedStringHoldsEscapedQuote", "{ a { b(s: \"\\\"}\") } c }", {kA, {"c", "c"}}},
        DocumentCase{"NestedStringEndsInBackslash", "{ a { b(s: \"\\\\\") } c }", {kA, {"c", "c"}}},
        DocumentCase{"NestedCommentHoldsBrace", "{ a { b # }\n } c }", {kA, {"c", "c"}}},
        DocumentCase{"NestedParenthesesNotCounted", "{ a { ( } c }", {kA, {"c", "c"}}},
        DocumentCase{"DirectiveArgumentBracesNotCounted", "{ a @dir(x: }) b }", {kA, kB}},
        DocumentCase{
            "SkipAndIncludeNotEvaluated", "{ a @skip(if: true) b @include(if: false) }", {kA, kB}},
        DocumentCase{"SpaceAfterAt", "{ a @ dir b }", {kA, kB}},
        DocumentCase{"DirectiveThenNestedSet", "{ a @dir { b } c }", {kA, {"c", "c"}}}),
    [](const auto& test) { return test.param.name; });

// Argument values, given as whole documents so that they can end anywhere.
INSTANTIATE_TEST_SUITE_P(
    Values, ParsesDocument,
    testing::Values(
        DocumentCase{"EscapedQuote", R"({ f(s: "a\"b") })", {{"f", "f", R"({"s":"a\"b"})"}}},
        DocumentCase{"EscapedBackslashBeforeQuote",
                     R"({ f(s: "a\\", t: 1) })",
                     {{"f", "f", R"({"s":"a\\","t":1})"}}},
        DocumentCase{
            "UnicodeEscape", R"({ f(s: "\u00e9") })", {{"f", "f", "{\"s\":\"\xC3\xA9\"}"}}},
        DocumentCase{"SurrogatePair",
                     R"({ f(s: "\ud83d\ude00") })",
                     {{"f", "f", "{\"s\":\"\xF0\x9F\x98\x80\"}"}}},
        DocumentCase{"RawUtf8PassesThrough",
                     "{ f(s: \"\xC3\xA9 \xE2\x82\xAC\") }",
                     {{"f", "f", "{\"s\":\"\xC3\xA9 \xE2\x82\xAC\"}"}}},
        DocumentCase{"StringHoldsBrackets", R"({ f(s: ")}]#") })", {{"f", "f", R"({"s":")}]#"})"}}},
        DocumentCase{
            "TripleQuoteIsTwoStrings", R"({ f(l: ["""x"]) })", {{"f", "f", R"({"l":["","x"]})"}}},
        DocumentCase{"Integer", "{ f(n: 42) }", {{"f", "f", R"({"n":42})"}}},
        DocumentCase{"NegativeInteger", "{ f(n: -7) }", {{"f", "f", R"({"n":-7})"}}},
        DocumentCase{"Fraction", "{ f(n: 1.5) }", {{"f", "f", R"({"n":1.5})"}}},
        DocumentCase{"Exponent", "{ f(n: 2e3) }", {{"f", "f", R"({"n":2000.0})"}}},
        DocumentCase{
            "SignedExponent", "{ f(n: -25E-1, m: 1e+2) }", {{"f", "f", R"({"m":100.0,"n":-2.5})"}}},
        DocumentCase{"LargestUnsigned",
                     "{ f(n: 18446744073709551615) }",
                     {{"f", "f", R"({"n":18446744073709551615})"}}},
        DocumentCase{"SmallestSigned",
                     "{ f(n: -9223372036854775808) }",
                     {{"f", "f", R"({"n":-9223372036854775808})"}}},
        DocumentCase{"TooLargeIsDouble",
                     "{ f(n: 18446744073709551616) }",
                     {{"f", "f", R"({"n":18446744073709551616.0})"}}},
        DocumentCase{"NameRightAfterNumber", "{ f(x: 1a: 2) }", {{"f", "f", R"({"a":2,"x":1})"}}},
        DocumentCase{"Keywords",
                     "{ f(t: true, f: false, n: null) }",
                     {{"f", "f", R"({"f":false,"n":null,"t":true})"}}},
        DocumentCase{"EnumValues",
                     "{ f(e: ACTIVE, t: TRUE, n: NULL, x: nullx, u: _v1) }",
                     {{"f", "f", R"({"e":"ACTIVE","n":"NULL","t":"TRUE","u":"_v1","x":"nullx"})"}}},
        DocumentCase{
            "Lists", "{ f(l: [1 2, [3]], e: []) }", {{"f", "f", R"({"e":[],"l":[1,2,[3]]})"}}},
        DocumentCase{"CommentInsideList", "{ f(l: [1 # ]\n 2]) }", {{"f", "f", R"({"l":[1,2]})"}}},
        DocumentCase{"MixedList",
                     R"({ f(l: [a, "b", null, {c: 1}]) })",
                     {{"f", "f", R"({"l":["a","b",null,{"c":1}]})"}}},
        DocumentCase{"InputObjectSortedLastWins",
                     "{ f(o: {b: 1, a: 2, b: 3}) }",
                     {{"f", "f", R"({"o":{"a":2,"b":3}})"}}},
        DocumentCase{"NestedInputObjects",
                     "{ f(o: {x: {}, y: {z: [{w: 1}]}}) }",
                     {{"f", "f", R"({"o":{"x":{},"y":{"z":[{"w":1}]}}})"}}},
        DocumentCase{"VariableObjectCopied",
                     "{ f(x: $v) }",
                     {{"f", "f", R"({"x":{"a":[1,{"b":null}]}})"}},
                     R"({"v":{"a":[1,{"b":null}]}})"},
        DocumentCase{
            "NullVariable", "{ f(x: $v) }", {{"f", "f", R"({"x":null})"}}, R"({"v":null})"},
        DocumentCase{
            "SpaceAfterDollar", "{ f(x: $ v) }", {{"f", "f", R"({"x":"s"})"}}, R"({"v":"s"})"},
        DocumentCase{"VariablesInsideValues",
                     "{ f(l: [$v, $v], o: {k: $w}) }",
                     {{"f", "f", R"({"l":[1,1],"o":{"k":[2]}})"}},
                     R"({"v":1,"w":[2]})"},
        DocumentCase{"VariableUsedByTwoFields",
                     "{ f(x: $v) g(x: $v) }",
                     {{"f", "f", R"({"x":[1]})"}, {"g", "g", R"({"x":[1]})"}},
                     R"({"v":[1],"unused":2})"}),
    [](const auto& test) { return test.param.name; });

// Documents that fail, with the exact message.

struct FailureCase {
  std::string name;
  std::string source;
  std::string message;
  std::string variables = "{}";
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class RejectsDocument : public testing::TestWithParam<FailureCase> {};

TEST_P(RejectsDocument, WithMessage) {
  const FailureCase& c = GetParam();
  JsonObject variables = variables_from(c.variables);
  auto result = parse_top_level_fields(c.source, variables);
  ASSERT_FALSE(result) << testing::PrintToString(fields_of(*result));
  EXPECT_EQ(result.error(), c.message);
}

const std::string kNameAtEnd = std::string(m::kExpectedName) + std::string(m::kEndOfInput);
const std::string kUnterminatedSet(m::kUnterminatedSelectionSet);
const std::string kFragments(m::kFragmentsUnsupported);
const std::string kUnterminatedString(m::kUnterminatedString);
const std::string kValueAtEnd(m::kValueEnd);
const std::string kUnexpected(m::kUnexpectedValueByte);

INSTANTIATE_TEST_SUITE_P(
    Operations, RejectsDocument,
    testing::Values(
        FailureCase{"Empty", "", kNameAtEnd},
        FailureCase{"OnlyIgnored", " ,\t# note\n, ", kNameAtEnd},
        FailureCase{"OnlyComment", "# note", kNameAtEnd},
        FailureCase{"ByteOrderMark", "\xEF\xBB\xBF{ a }", "expected GraphQL name, found \xC3\xAF"},
        FailureCase{"VerticalTab", "\v{ a }", "expected GraphQL name, found \v"},
        FailureCase{"NoBreakSpace", "\xC2\xA0{ a }", "expected GraphQL name, found \xC3\x82"},
        FailureCase{"CapitalizedKeyword", "Query { a }", "unsupported GraphQL operation: Query"},
        FailureCase{"FragmentDefinition", "fragment F on T { a }",
                    "unsupported GraphQL operation: fragment"},
        FailureCase{"KeywordPrefix", "queryX { a }", "unsupported GraphQL operation: queryX"},
        FailureCase{"KeywordAlone", "query", "expected {, found end of input"},
        FailureCase{"TwoOperationNames", "query A B { a }", "expected {, found B"},
        FailureCase{"UnclosedDefinitions", "query ($x: Int { a }",
                    "unterminated GraphQL balanced block: ("},
        FailureCase{"UnclosedOperationDirective", "query Q @dir( { a }",
                    "unterminated GraphQL balanced block: ("},
        FailureCase{"DirectiveWithoutName", "query @ { a }", "expected GraphQL name, found {"},
        FailureCase{"StringInDefinitionsUnclosed", "query ($x: String = \") { a }",
                    kUnterminatedString}),
    [](const auto& test) { return test.param.name; });

INSTANTIATE_TEST_SUITE_P(
    SelectionSets, RejectsDocument,
    testing::Values(
        FailureCase{"OpenBraceOnly", "{", kUnterminatedSet},
        FailureCase{"Unclosed", "{ a", kUnterminatedSet},
        FailureCase{"UnclosedInComment", "{ a # note }", kUnterminatedSet},
        FailureCase{"FragmentSpread", "{ ...F }", kFragments},
        FailureCase{"InlineFragment", "{ ... on T { a } }", kFragments},
        FailureCase{"SpreadAfterField", "{ a ...F }", kFragments},
        FailureCase{"TwoDots", "{ .. }", "expected GraphQL name, found ."},
        FailureCase{"NonAsciiName", "{ \xC3\xA9 }", "expected GraphQL name, found \xC3\x83"},
        FailureCase{"AliasWithoutField", "{ x: }", "expected GraphQL name, found }"},
        FailureCase{"AliasAtEnd", "{ x:", kNameAtEnd},
        FailureCase{"MissingColon", "{ a(x 1) }", "expected :, found 1"},
        FailureCase{"MissingColonAtEnd", "{ a(x", "expected :, found end of input"},
        FailureCase{"NonAsciiAfterArgumentName", "{ a(x\xC3\xA9: 1) }",
                    "expected :, found \xC3\x83"},
        FailureCase{"ArgumentNameIsNumber", "{ a(1: 2) }", "expected GraphQL name, found 1"},
        FailureCase{"UnclosedArguments", "{ a(x: 1", kNameAtEnd},
        FailureCase{"StrayParenthesis", "{ a(x: 1)) }", "expected GraphQL name, found )"},
        FailureCase{"NestedSetThenEnd", "{ a { b }", kUnterminatedSet},
        FailureCase{"NestedSetUnclosed", "{ a { b ", "unterminated GraphQL balanced block: {"},
        FailureCase{"NestedCommentToEnd", "{ a { b # }", "unterminated GraphQL balanced block: {"},
        FailureCase{"DirectiveArgumentsUnclosed", "{ a @include(if: false }",
                    "unterminated GraphQL balanced block: ("},
        FailureCase{"DirectiveWithoutName", "{ a @ }", "expected GraphQL name, found }"},
        FailureCase{"NestedStringUnclosed", "{ a { b(s: \"}) } }", kUnterminatedString},
        FailureCase{"NestedStringEscapedQuoteUnclosed", "{ a { b(s: \"\\\") } }",
                    kUnterminatedString},
        FailureCase{"NestedStringEndsInBackslash", "{ a { b(s: \"x\\", kUnterminatedString}),
    [](const auto& test) { return test.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Values, RejectsDocument,
    testing::Values(
        FailureCase{"StringUnclosed", R"({ f(s: "abc) })", kUnterminatedString},
        FailureCase{"StringEndsInBackslash", "{ f(s: \"abc\\", kUnterminatedString},
        FailureCase{"TripleQuoteArgument", R"({ f(s: """x") })", "expected GraphQL name, found \""},
        FailureCase{"Plus", "{ f(n: +1) }", kUnexpected + "+"},
        FailureCase{"LeadingDot", "{ f(n: .5) }", kUnexpected + "."},
        FailureCase{"ClosingParenthesis", "{ f(n: ) }", kUnexpected + ")"},
        FailureCase{"ClosingBracket", "{ f(n: ]) }", kUnexpected + "]"},
        FailureCase{"NonAscii", "{ f(n: \xC3\xA9) }", kUnexpected + "\xC3\x83"},
        FailureCase{"ValueAtEnd", "{ f(n:", kValueAtEnd},
        FailureCase{"ValueAtEndAfterComment", "{ f(n: # x", kValueAtEnd},
        FailureCase{"ListUnclosed", "{ f(l: [1", kValueAtEnd},
        FailureCase{"ObjectUnclosed", "{ f(o: {a: 1", kNameAtEnd},
        FailureCase{"ObjectQuotedKey", R"({ f(o: {"a": 1}) })", "expected GraphQL name, found \""},
        FailureCase{"ObjectMissingColon", "{ f(o: {a 1}) }", "expected :, found 1"},
        FailureCase{"NameAfterNumberNeedsColon", "{ f(n: 1abc) }", "expected :, found )"},
        FailureCase{"MissingVariable", "{ f(x: $v) }", "missing GraphQL variable: $v"},
        FailureCase{"VariableCaseSensitive", "{ f(x: $V) }", "missing GraphQL variable: $V",
                    R"({"v":1})"},
        FailureCase{"MissingVariableInList", "{ f(x: [$v, $w]) }", "missing GraphQL variable: $w",
                    R"({"v":1})"},
        FailureCase{"VariableNameIsNumber", "{ f(x: $1) }", "expected GraphQL name, found 1"},
        FailureCase{"DollarAtEnd", "{ f(x: $", kNameAtEnd},
        FailureCase{"ObjectTooDeep",
                    "{ f(o: " + repeat("{a:", 128) + "1" + repeat("}", 128) + ") }",
                    std::string(kTooDeep)},
        FailureCase{"MixedTooDeep", "{ f(o: " + repeat("[{a:", 64) + "1" + repeat("}]", 64) + ") }",
                    std::string(kTooDeep)},
        FailureCase{"MillionBrackets", "{ f(l: " + repeat("[", 1'000'000), std::string(kTooDeep)},
        FailureCase{"MillionBracesUnclosedNestedSet", "{ a " + repeat("{", 1'000'000),
                    "unterminated GraphQL balanced block: {"}),
    [](const auto& test) { return test.param.name; });

// Literals refused by the JSON reader: the message is a fixed prefix, then the reader's own
// description with a position counted within the literal alone.

struct ReaderFailureCase {
  std::string name;
  std::string source;
  std::string prefix;
};

void PrintTo(const ReaderFailureCase& c, std::ostream* os) { *os << c.name; }

class RejectsLiteral : public testing::TestWithParam<ReaderFailureCase> {};

TEST_P(RejectsLiteral, WithReaderDescription) {
  const ReaderFailureCase& c = GetParam();
  auto result = parse_top_level_fields(c.source, JsonObject{});
  ASSERT_FALSE(result) << testing::PrintToString(fields_of(*result));
  EXPECT_TRUE(result.error().starts_with(c.prefix)) << result.error();
  // Every literal sits on the third line of its document, but the reader only sees the literal.
  EXPECT_NE(result.error().find(" at line 1 column "), std::string::npos) << result.error();
  EXPECT_GT(result.error().size(), c.prefix.size() + std::string_view(" at line 1").size());
}

const std::string kInvalidString(m::kInvalidString);
const std::string kInvalidNumber(m::kInvalidNumber);

INSTANTIATE_TEST_SUITE_P(
    Literals, RejectsLiteral,
    testing::Values(
        ReaderFailureCase{"RawTab", "{\n\nf(s: \"a\tb\") }", kInvalidString},
        ReaderFailureCase{"RawLineBreak", "{\n\nf(s: \"a\nb\") }", kInvalidString},
        ReaderFailureCase{"BadEscape", "{\n\nf(s: \"a\\xb\") }", kInvalidString},
        ReaderFailureCase{"ShortUnicodeEscape", "{\n\nf(s: \"\\u12\") }", kInvalidString},
        ReaderFailureCase{"LeadingZero", "{\n\nf(n: 01) }", kInvalidNumber},
        ReaderFailureCase{"BareMinus", "{\n\nf(n: -) }", kInvalidNumber},
        ReaderFailureCase{"MinusThenDot", "{\n\nf(n: -.5) }", kInvalidNumber},
        ReaderFailureCase{"NoFractionDigits", "{\n\nf(n: 1.) }", kInvalidNumber},
        ReaderFailureCase{"NoExponentDigits", "{\n\nf(n: 1e) }", kInvalidNumber},
        ReaderFailureCase{"SignedExponentWithoutDigits", "{\n\nf(n: 1e+) }", kInvalidNumber}),
    [](const auto& test) { return test.param.name; });

// Nesting of argument values: the bound is exact, counts lists and objects alike, and is given
// back when a value closes.

TEST(ValueNesting, AcceptsTheDeepestAllowedValueInEveryArgument) {
  const std::string list = repeat("[", kJsonMaxDepth) + repeat("]", kJsonMaxDepth);
  const std::string object =
      repeat("{a:", kJsonMaxDepth - 1) + "[]" + repeat("}", kJsonMaxDepth - 1);
  auto result = parse_top_level_fields(
      "{ f(x: " + list + ", y: " + object + ") g(z: " + list + ") }", JsonObject{});
  ASSERT_TRUE(result) << result.error();
  ASSERT_EQ(result->size(), 2u);
  EXPECT_EQ(to_json(*(*result)[0].arguments.find("x")), list);
  EXPECT_EQ(to_json(*(*result)[1].arguments.find("z")), list);
  const std::string written_object =
      repeat("{\"a\":", kJsonMaxDepth - 1) + "[]" + repeat("}", kJsonMaxDepth - 1);
  EXPECT_EQ(to_json(*(*result)[0].arguments.find("y")), written_object);
}

TEST(ValueNesting, RefusesOneLevelMore) {
  const std::string list = repeat("[", kJsonMaxDepth + 1) + repeat("]", kJsonMaxDepth + 1);
  auto result = parse_top_level_fields("{ f(x: " + list + ") }", JsonObject{});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), kTooDeep);
}

// Skipped blocks are counted, not recursed into, so their depth is not bounded.
TEST(SkippedNesting, StepsOverAMillionLevels) {
  const std::string deep = repeat("{", 1'000'000) + repeat("}", 1'000'000);
  auto result = parse_top_level_fields(
      "query (" + repeat("(", 1'000'000) + repeat(")", 1'000'000) + ") { a " + deep + " b }",
      JsonObject{});
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(fields_of(*result), (std::vector<Field>{kA, kB}));
}

// Arguments hold their variables' values however long they live: the variables
// object is gone (and its memory reused) before the arguments are written.
TEST(VariableValues, OutliveTheVariablesObject) {
  std::vector<SelectedField> fields;
  {
    JsonObject variables = variables_from(R"({"v": {"list": [1, "two", {"three": 3}]}})");
    auto parsed = parse_top_level_fields("{ a(x: $v) b(y: [$v, $v]) }", variables);
    ASSERT_TRUE(parsed) << parsed.error();
    fields = std::move(*parsed);
  }
  JsonObject reuse = variables_from(R"({"v": "something else entirely"})");
  const std::string v = R"({"list":[1,"two",{"three":3}]})";
  EXPECT_EQ(fields_of(fields), (std::vector<Field>{{"a", "a", R"({"x":)" + v + "}"},
                                                   {"b", "b", R"({"y":[)" + v + "," + v + "]}"}}));
}

// The parser operations on their own, where the position they leave matters to the caller.

struct SkipCase {
  std::string name;
  std::string source;
  char open;
  char close;
  std::variant<std::size_t, std::string> outcome;  // position after the block, or the message
};

void PrintTo(const SkipCase& c, std::ostream* os) { *os << c.name; }

class SkipsBalanced : public testing::TestWithParam<SkipCase> {};

TEST_P(SkipsBalanced, EndsJustAfterTheMatchingClose) {
  const SkipCase& c = GetParam();
  JsonObject variables;
  detail::GraphqlFieldParser parser(c.source, variables);
  auto result = parser.skip_balanced(c.open, c.close);
  if (const auto* position = std::get_if<std::size_t>(&c.outcome)) {
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(parser.position(), *position);
  } else {
    ASSERT_FALSE(result) << "stopped at " << parser.position();
    EXPECT_EQ(result.error(), std::get<std::string>(c.outcome));
  }
  EXPECT_LE(parser.position(), c.source.size());
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, SkipsBalanced,
    testing::Values(SkipCase{"Flat", "(a) rest", '(', ')', 3u},
                    SkipCase{"LeadingIgnored", " ,# c\n(a) rest", '(', ')', 9u},
                    SkipCase{"Nested", "(a (b) c) x", '(', ')', 9u},
                    SkipCase{"StringHoldsClose", "(\")\") x", '(', ')', 5u},
                    SkipCase{"EscapedQuoteInString", "(\"\\\")\") x", '(', ')', 7u},
                    SkipCase{"CommentEndedByLf", "(# )\n) x", '(', ')', 6u},
                    SkipCase{"CommentEndedByCr", "(# )\r) x", '(', ')', 6u},
                    SkipCase{"OtherBracketsPlain", "({) x", '(', ')', 3u},
                    SkipCase{"ParenthesesPlainInBraces", "{(} x", '{', '}', 3u},
                    SkipCase{"WrongOpen", "x", '(', ')', std::string("expected (, found x")},
                    SkipCase{"Empty", "", '{', '}', std::string("expected {, found end of input")},
                    SkipCase{"Unclosed", "((a)", '(', ')',
                             std::string("unterminated GraphQL balanced block: (")},
                    SkipCase{"CommentToEnd", "(# )", '(', ')',
                             std::string("unterminated GraphQL balanced block: (")},
                    SkipCase{"StringUnclosed", "(\")", '(', ')',
                             std::string("unterminated GraphQL string literal")}),
    [](const auto& test) { return test.param.name; });

struct ValueCase {
  std::string name;
  std::string source;
  std::string value;     // compact JSON of the value read
  std::size_t position;  // just after the value
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

class ReadsValue : public testing::TestWithParam<ValueCase> {};

TEST_P(ReadsValue, StopsRightAfterIt) {
  const ValueCase& c = GetParam();
  JsonObject variables = variables_from(R"({"v":[true]})");
  detail::GraphqlFieldParser parser(c.source, variables);
  auto value = parser.parse_value();
  ASSERT_TRUE(value) << value.error();
  EXPECT_EQ(to_json(*value), c.value);
  EXPECT_EQ(parser.position(), c.position);
}

INSTANTIATE_TEST_SUITE_P(Values, ReadsValue,
                         testing::Values(ValueCase{"NumberBeforeName", "1abc", "1", 1},
                                         ValueCase{"NumberBeforeDot", " -2.5.1", "-2.5", 5},
                                         ValueCase{"String", "\"a\" x", "\"a\"", 3},
                                         ValueCase{"List", "[1]]", "[1]", 3},
                                         ValueCase{"Object", "{a:1}}", "{\"a\":1}", 5},
                                         ValueCase{"Keyword", "true1 x", "\"true1\"", 5},
                                         ValueCase{"Variable", "$v.x", "[true]", 2}),
                         [](const auto& test) { return test.param.name; });

TEST(ParseName, FailureLeavesPositionOnTheByte) {
  JsonObject variables;
  detail::GraphqlFieldParser parser(" # c\n\xC3\xA9", variables);
  auto name = parser.parse_name();
  ASSERT_FALSE(name);
  EXPECT_EQ(name.error(), "expected GraphQL name, found \xC3\x83");
  EXPECT_EQ(parser.position(), 5u);
}

// Decoding of the variables text.

struct VariablesCase {
  std::string name;
  std::optional<std::string> text;
  std::string outcome;  // compact JSON of the object, or the message (or its prefix)
  bool succeeds = true;
  bool reader_description = false;  // the message continues with the reader's description
};

void PrintTo(const VariablesCase& c, std::ostream* os) { *os << c.name; }

class DecodesVariables : public testing::TestWithParam<VariablesCase> {};

TEST_P(DecodesVariables, ToAnObjectOrMessage) {
  const VariablesCase& c = GetParam();
  auto result = parse_variables(c.text ? std::optional<std::string_view>(*c.text) : std::nullopt);
  if (c.succeeds) {
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(to_json(Json(*result)), c.outcome);
  } else if (c.reader_description) {
    ASSERT_FALSE(result) << to_json(Json(*result));
    EXPECT_TRUE(result.error().starts_with(c.outcome)) << result.error();
    EXPECT_NE(result.error().find(" at line "), std::string::npos) << result.error();
  } else {
    ASSERT_FALSE(result) << to_json(Json(*result));
    EXPECT_EQ(result.error(), c.outcome);
  }
}

const std::string kNotObject(m::kVariablesNotObject);
const std::string kInvalidVariables(m::kInvalidVariables);

INSTANTIATE_TEST_SUITE_P(
    Variables, DecodesVariables,
    testing::Values(VariablesCase{"Absent", std::nullopt, "{}"}, VariablesCase{"Empty", "", "{}"},
                    VariablesCase{"AsciiBlank", " \t\r\n", "{}"},
                    VariablesCase{"UnicodeBlank", "\f\xC2\xA0\xE3\x80\x80", "{}"},
                    VariablesCase{"Object", R"( {"b":[1,{"c":null}],"a":true} )",
                                  R"({"a":true,"b":[1,{"c":null}]})"},
                    VariablesCase{"DuplicateKeyKeepsLast", R"({"a":1,"a":2})", R"({"a":2})"},
                    VariablesCase{"Array", "[]", kNotObject, false},
                    VariablesCase{"Null", "null", kNotObject, false},
                    VariablesCase{"Number", "42", kNotObject, false},
                    VariablesCase{"String", "\"{}\"", kNotObject, false},
                    VariablesCase{"Boolean", "true", kNotObject, false},
                    VariablesCase{"LoneBrace", "{", kInvalidVariables, false, true},
                    VariablesCase{"TrailingText", "{} x", kInvalidVariables, false, true},
                    VariablesCase{"FormFeedBefore", "\f{}", kInvalidVariables, false, true},
                    VariablesCase{"NoBreakSpaceAfter", "{}\xC2\xA0", kInvalidVariables, false,
                                  true},
                    VariablesCase{"TooDeep", repeat("[", 200) + repeat("]", 200), kInvalidVariables,
                                  false, true}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace ziri
