// The request parser: one pass over the query text that keeps the top-level fields with their
// arguments and steps over everything else the engine tolerates but does not interpret.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"

namespace ziri {

/// One top-level selection of a request.
struct SelectedField {
  std::string response_key;  // alias, or the field name
  std::string field_name;
  JsonObject arguments;  // variables already substituted
  friend bool operator==(const SelectedField&, const SelectedField&) = default;
};

/// Parses a request document into its top-level fields, or the message of the first error.
std::expected<std::vector<SelectedField>, std::string> parse_top_level_fields(
    std::string_view source, const JsonObject& variables);

/// Decodes the variables text of a request into an object, or the message of the failure.
std::expected<JsonObject, std::string> parse_variables(
    std::optional<std::string_view> variables_json);

namespace detail {

/// Every message the parser can give, in one place for the parser and its tests.
namespace messages {
inline constexpr std::string_view kExpectedName = "expected GraphQL name, found ";
inline constexpr std::string_view kExpected = "expected ";
inline constexpr std::string_view kFound = ", found ";
inline constexpr std::string_view kEndOfInput = "end of input";
inline constexpr std::string_view kUnsupportedOperation = "unsupported GraphQL operation: ";
inline constexpr std::string_view kUnterminatedSelectionSet = "unterminated GraphQL selection set";
inline constexpr std::string_view kFragmentsUnsupported =
    "GraphQL fragments are not supported by dive-ziri yet";
inline constexpr std::string_view kUnterminatedBlock = "unterminated GraphQL balanced block: ";
inline constexpr std::string_view kUnterminatedString = "unterminated GraphQL string literal";
inline constexpr std::string_view kValueEnd = "unexpected end of GraphQL argument value";
inline constexpr std::string_view kUnexpectedValueByte =
    "unexpected character in GraphQL argument value: ";
inline constexpr std::string_view kValueTooDeep = "GraphQL argument value nested too deeply";
inline constexpr std::string_view kInvalidString = "invalid GraphQL string literal: ";
inline constexpr std::string_view kInvalidNumber = "invalid GraphQL number literal: ";
inline constexpr std::string_view kMissingVariable = "missing GraphQL variable: $";
inline constexpr std::string_view kInvalidVariables = "invalid variables JSON: ";
inline constexpr std::string_view kVariablesNotObject =
    "variables_json must decode to a JSON object";
}  // namespace messages

/// Byte-level reader of one request document; used for one parse and then dropped.
/// Every byte test is on a single byte of `source`; `position` only moves forward and never
/// passes the end of the text. Callers use the functions above; the reader is here for the
/// tests of the productions whose end position matters.
class GraphqlFieldParser {
 public:
  /// Both `source` and `variables` are borrowed and must outlive the parser.
  GraphqlFieldParser(std::string_view source, const JsonObject& variables)
      : source_(source), variables_(&variables) {}

  /// Offset of the next unread byte.
  std::size_t position() const { return position_; }

  /// Reads a whole document: an operation, or the bare selection-set shorthand.
  std::expected<std::vector<SelectedField>, std::string> parse_operation_definition();
  /// Reads one name after the ignored bytes.
  std::expected<std::string, std::string> parse_name();
  /// Steps over an `open` ... `close` block without reading it, counting only that pair.
  std::expected<void, std::string> skip_balanced(char open, char close);
  /// Reads one argument value, with variables replaced by their shared values.
  std::expected<Json, std::string> parse_value();

 private:
  bool at_end() const { return position_ >= source_.size(); }
  bool next_is(char c) const { return position_ < source_.size() && source_[position_] == c; }

  // Steps over white space, commas and comments.
  void skip_ignored();
  // Steps over `expected` after the ignored bytes, or fails naming what stands there.
  std::expected<void, std::string> expect_byte(char expected);
  std::expected<std::string_view, std::string> read_name();
  bool skip_comment();
  std::expected<void, std::string> skip_string_literal();
  // Steps over any number of directives without evaluating them.
  std::expected<void, std::string> skip_directives();
  std::expected<std::vector<SelectedField>, std::string> parse_selection_set();
  std::expected<SelectedField, std::string> parse_selection();
  std::expected<SelectedField, std::string> parse_field();
  std::expected<JsonObject, std::string> parse_arguments();
  std::expected<JsonObject, std::string> parse_members(char close);
  std::expected<JsonObject::Member, std::string> parse_name_and_value();
  std::expected<Json, std::string> parse_string_value();
  std::expected<Json, std::string> parse_number_value();
  std::expected<Json, std::string> parse_variable();
  std::expected<Json, std::string> parse_name_value();
  std::expected<Json, std::string> parse_list_value();
  std::expected<Json, std::string> parse_object_value();

  std::string_view source_;
  const JsonObject* variables_;
  std::size_t position_ = 0;
  // Lists and input objects open around the value being read; see parse_value.
  int value_depth_ = 0;
};

}  // namespace detail
}  // namespace ziri
