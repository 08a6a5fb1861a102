#include "graphql/parser.hpp"

#include <utility>

#include "common/unicode.hpp"

namespace ziri {
namespace {

using namespace detail::messages;

// Values nest no deeper than the JSON reader lets variables nest, and the bound keeps the
// recursion of parse_value small whatever the text holds.
constexpr int kMaxValueDepth = kJsonMaxDepth;

using Failure = std::unexpected<std::string>;

Failure fail(std::string_view message) { return Failure(std::string(message)); }

Failure fail(std::string_view prefix, std::string_view rest) {
  std::string message;
  message.reserve(prefix.size() + rest.size());
  message.append(prefix).append(rest);
  return Failure(std::move(message));
}

// Messages show a byte as the character of the same code, so a byte of a multi-byte UTF-8
// character shows as its Latin-1 reading rather than as half a character.
void append_byte(std::string& out, char byte) {
  auto code = static_cast<unsigned char>(byte);
  if (code < 0x80) {
    out.push_back(byte);
  } else {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

Failure fail_at_byte(std::string_view prefix, char byte) {
  std::string message(prefix);
  append_byte(message, byte);
  return Failure(std::move(message));
}

// Passes the failure of a step up to a production that returns something else.
template <class T>
Failure pass_up(std::expected<T, std::string>& failed) {
  return Failure(std::move(failed.error()));
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr bool is_name_start(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

constexpr bool is_name_continuation(char c) { return is_name_start(c) || is_digit(c); }

// Only ASCII separators: a byte-order mark or a Unicode space is a stray byte to report.
constexpr bool is_ignored_byte(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ' || c == ',';
}

// OperationType : one of query mutation subscription
constexpr bool is_operation_type(std::string_view name) {
  return name == "query" || name == "mutation" || name == "subscription";
}

// Counts one level of list or input-object nesting for as long as the value is being read.
class NestingGuard {
 public:
  explicit NestingGuard(int& depth) : depth_(depth) { ++depth_; }
  ~NestingGuard() { --depth_; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

  bool too_deep() const { return depth_ > kMaxValueDepth; }

 private:
  int& depth_;
};

}  // namespace

namespace detail {

// Ignored : WhiteSpace | LineTerminator | Comma | Comment
void GraphqlFieldParser::skip_ignored() {
  while (!at_end()) {
    char c = source_[position_];
    if (is_ignored_byte(c)) {
      ++position_;
    } else if (c == '#') {
      skip_comment();
    } else {
      return;
    }
  }
}

// Comment : # CommentChar* LineTerminator?
// Steps from the '#' over the line break that ends the comment; false when the text ends first.
bool GraphqlFieldParser::skip_comment() {
  std::size_t line_break = source_.find_first_of("\r\n", position_);
  if (line_break == std::string_view::npos) {
    position_ = source_.size();
    return false;
  }
  position_ = line_break + 1;
  return true;
}

// Name : /[_A-Za-z][_0-9A-Za-z]*/
// A view into the source, so that names read only to be dropped cost no allocation.
std::expected<std::string_view, std::string> GraphqlFieldParser::read_name() {
  skip_ignored();
  if (at_end()) return fail(kExpectedName, kEndOfInput);
  if (!is_name_start(source_[position_])) return fail_at_byte(kExpectedName, source_[position_]);
  std::size_t start = position_++;
  while (!at_end() && is_name_continuation(source_[position_])) ++position_;
  return source_.substr(start, position_ - start);
}

std::expected<std::string, std::string> GraphqlFieldParser::parse_name() {
  return read_name().transform([](std::string_view name) { return std::string(name); });
}

std::expected<void, std::string> GraphqlFieldParser::expect_byte(char expected) {
  skip_ignored();
  if (next_is(expected)) {
    ++position_;
    return {};
  }
  std::string message(kExpected);
  message.push_back(expected);
  message.append(kFound);
  if (at_end()) {
    message.append(kEndOfInput);
  } else {
    append_byte(message, source_[position_]);
  }
  return Failure(std::move(message));
}

// StringValue : " StringCharacter* "
// Finds the extent only: a backslash takes the next byte with it, so an escaped quote never
// closes the literal. Leaves `position` just after the closing quote.
std::expected<void, std::string> GraphqlFieldParser::skip_string_literal() {
  std::size_t i = position_ + 1;
  while (true) {
    i = source_.find_first_of("\"\\", i);
    if (i == std::string_view::npos) return fail(kUnterminatedString);
    if (source_[i] == '"') break;
    i += 2;
    if (i > source_.size()) return fail(kUnterminatedString);
  }
  position_ = i + 1;
  return {};
}

// Skipped blocks (variable definitions, directive arguments, nested selection sets) can be
// nested arbitrarily deep, so this counts brackets in a loop instead of recursing.
std::expected<void, std::string> GraphqlFieldParser::skip_balanced(char open, char close) {
  if (auto opened = expect_byte(open); !opened) return opened;
  std::size_t depth = 1;
  while (true) {
    if (at_end()) return fail_at_byte(kUnterminatedBlock, open);
    char c = source_[position_];
    if (c == '"') {
      // A bracket inside a string must not count.
      if (auto skipped = skip_string_literal(); !skipped) return skipped;
    } else if (c == '#') {
      if (!skip_comment()) return fail_at_byte(kUnterminatedBlock, open);
    } else {
      ++position_;
      if (c == open) {
        ++depth;
      } else if (c == close && --depth == 0) {
        return {};
      }
    }
  }
}

// Directives : Directive+
// Directive : @ Name Arguments?
// Directives are tolerated but never evaluated, so @skip and @include change nothing.
std::expected<void, std::string> GraphqlFieldParser::skip_directives() {
  while (true) {
    skip_ignored();
    if (!next_is('@')) return {};
    ++position_;
    if (auto name = read_name(); !name) return pass_up(name);
    skip_ignored();
    if (next_is('(')) {
      if (auto skipped = skip_balanced('(', ')'); !skipped) return skipped;
    }
  }
}

// OperationDefinition :
//   - SelectionSet
//   - OperationType Name? VariableDefinitions? Directives? SelectionSet
// The operation kind makes no difference to execution, and nothing after the selection set is
// read: further definitions or trailing text are not this request's concern.
std::expected<std::vector<SelectedField>, std::string>
GraphqlFieldParser::parse_operation_definition() {
  skip_ignored();
  if (next_is('{')) return parse_selection_set();
  auto keyword = read_name();
  if (!keyword) return pass_up(keyword);
  if (!is_operation_type(*keyword)) return fail(kUnsupportedOperation, *keyword);
  skip_ignored();
  if (!at_end() && is_name_start(source_[position_])) {
    // The operation name cannot fail here; it is dropped.
    (void)read_name();
    skip_ignored();
  }
  if (next_is('(')) {
    // Declared types and defaults are not used: every variable comes from the variables object.
    if (auto skipped = skip_balanced('(', ')'); !skipped) return pass_up(skipped);
    skip_ignored();
  }
  if (auto skipped = skip_directives(); !skipped) return pass_up(skipped);
  return parse_selection_set();
}

// SelectionSet : { Selection* }
// An empty set is accepted here; whether a request may select nothing is for the caller.
std::expected<std::vector<SelectedField>, std::string> GraphqlFieldParser::parse_selection_set() {
  if (auto opened = expect_byte('{'); !opened) return pass_up(opened);
  std::vector<SelectedField> fields;
  while (true) {
    skip_ignored();
    if (at_end()) return fail(kUnterminatedSelectionSet);
    if (source_[position_] == '}') {
      ++position_;
      return fields;
    }
    auto field = parse_selection();
    if (!field) return pass_up(field);
    fields.push_back(std::move(*field));
  }
}

// Selection : Field
// Fragment spreads and inline fragments both start with "...", and neither is supported.
std::expected<SelectedField, std::string> GraphqlFieldParser::parse_selection() {
  if (source_.substr(position_).starts_with("...")) return fail(kFragmentsUnsupported);
  return parse_field();
}

// Field : Alias? Name Arguments? Directives? SelectionSet?
// Alias : Name :
// Only top-level fields are resolved, so a nested selection set is stepped over unread.
std::expected<SelectedField, std::string> GraphqlFieldParser::parse_field() {
  auto first = read_name();
  if (!first) return pass_up(first);
  SelectedField field;
  skip_ignored();
  if (next_is(':')) {
    ++position_;
    skip_ignored();
    auto name = read_name();
    if (!name) return pass_up(name);
    field.response_key = *first;
    field.field_name = *name;
  } else {
    field.response_key = *first;
    field.field_name = *first;
  }
  skip_ignored();
  if (next_is('(')) {
    auto arguments = parse_arguments();
    if (!arguments) return pass_up(arguments);
    field.arguments = std::move(*arguments);
  }
  if (auto skipped = skip_directives(); !skipped) return pass_up(skipped);
  skip_ignored();
  if (next_is('{')) {
    if (auto skipped = skip_balanced('{', '}'); !skipped) return pass_up(skipped);
  }
  return field;
}

// Arguments : ( Argument* )
std::expected<JsonObject, std::string> GraphqlFieldParser::parse_arguments() {
  return parse_members(')');
}

// The members of an argument list or input object, up to `close`. They are
// collected and sorted once at the end, so many members cost n log n, not n^2.
std::expected<JsonObject, std::string> GraphqlFieldParser::parse_members(char close) {
  ++position_;  // the opening byte
  std::vector<JsonObject::Member> members;
  while (true) {
    skip_ignored();
    if (next_is(close)) {
      ++position_;
      return JsonObject::from_unsorted(std::move(members));
    }
    auto member = parse_name_and_value();
    if (!member) return pass_up(member);
    members.push_back(std::move(*member));
  }
}

// Argument : Name : Value
// ObjectField : Name : Value
std::expected<JsonObject::Member, std::string> GraphqlFieldParser::parse_name_and_value() {
  auto name = parse_name();
  if (!name) return pass_up(name);
  if (auto colon = expect_byte(':'); !colon) return pass_up(colon);
  auto value = parse_value();
  if (!value) return pass_up(value);
  return JsonObject::Member(std::move(*name), std::move(*value));
}

// Value :
//   - Variable
//   - IntValue
//   - FloatValue
//   - StringValue
//   - BooleanValue
//   - NullValue
//   - EnumValue
//   - ListValue
//   - ObjectValue
std::expected<Json, std::string> GraphqlFieldParser::parse_value() {
  skip_ignored();
  if (at_end()) return fail(kValueEnd);
  char c = source_[position_];
  if (c == '[' || c == '{') {
    // The only recursion the text can drive, bounded here for lists and objects alike.
    NestingGuard guard(value_depth_);
    if (guard.too_deep()) return fail(kValueTooDeep);
    return c == '[' ? parse_list_value() : parse_object_value();
  }
  if (c == '"') return parse_string_value();
  if (c == '$') return parse_variable();
  if (c == '-' || is_digit(c)) return parse_number_value();
  if (is_name_start(c)) return parse_name_value();
  return fail_at_byte(kUnexpectedValueByte, c);
}

// StringValue : " StringCharacter* "
// Decoded by the JSON reader, so escapes and the refusal of raw control characters are exactly
// JSON's; there is no block-string form.
std::expected<Json, std::string> GraphqlFieldParser::parse_string_value() {
  std::size_t start = position_;
  if (auto skipped = skip_string_literal(); !skipped) return pass_up(skipped);
  auto decoded = parse_json(source_.substr(start, position_ - start));
  if (!decoded) return fail(kInvalidString, decoded.error());
  return std::move(*decoded);
}

// IntValue : IntegerPart
// FloatValue : IntegerPart FractionalPart? ExponentPart?
// The extent is taken loosely and the JSON reader judges it, so malformed numbers such as 01
// or 1. are refused with the reader's own description. What follows is the caller's business.
std::expected<Json, std::string> GraphqlFieldParser::parse_number_value() {
  std::size_t start = position_;
  auto skip_digits = [this] {
    while (!at_end() && is_digit(source_[position_])) ++position_;
  };
  if (next_is('-')) ++position_;
  skip_digits();
  if (next_is('.')) {
    ++position_;
    skip_digits();
  }
  if (next_is('e') || next_is('E')) {
    ++position_;
    if (next_is('+') || next_is('-')) ++position_;
    skip_digits();
  }
  auto decoded = parse_json(source_.substr(start, position_ - start));
  if (!decoded) return fail(kInvalidNumber, decoded.error());
  return std::move(*decoded);
}

// Variable : $ Name
// The value is shared with the variables object, which never changes: arguments
// keep it alive however long they live, and a thousand uses hold it once.
std::expected<Json, std::string> GraphqlFieldParser::parse_variable() {
  ++position_;  // '$'
  auto name = read_name();
  if (!name) return pass_up(name);
  const Json* value = variables_->find(*name);
  if (value == nullptr) return fail(kMissingVariable, *name);
  return *value;
}

// BooleanValue : one of true false
// NullValue : null
// EnumValue : Name but not true, false or null
// Keywords are case-sensitive; any other name stands for itself as a string.
std::expected<Json, std::string> GraphqlFieldParser::parse_name_value() {
  auto name = read_name();
  if (!name) return pass_up(name);
  if (*name == "true") return Json(true);
  if (*name == "false") return Json(false);
  if (*name == "null") return Json(nullptr);
  return Json(*name);
}

// ListValue : [ Value* ]
std::expected<Json, std::string> GraphqlFieldParser::parse_list_value() {
  ++position_;  // '['
  JsonArray items;
  while (true) {
    skip_ignored();
    if (next_is(']')) {
      ++position_;
      return Json(std::move(items));
    }
    auto item = parse_value();
    if (!item) return item;
    items.push_back(std::move(*item));
  }
}

// ObjectValue : { ObjectField* }
std::expected<Json, std::string> GraphqlFieldParser::parse_object_value() {
  auto object = parse_members('}');
  if (!object) return pass_up(object);
  return Json(std::move(*object));
}

}  // namespace detail

std::expected<std::vector<SelectedField>, std::string> parse_top_level_fields(
    std::string_view source, const JsonObject& variables) {
  return detail::GraphqlFieldParser(source, variables).parse_operation_definition();
}

std::expected<JsonObject, std::string> parse_variables(
    std::optional<std::string_view> variables_json) {
  // Blankness is judged on Unicode white space, but the reader gets the untrimmed text and
  // accepts only JSON's own white space around the document.
  if (!variables_json || is_blank(*variables_json)) return JsonObject{};
  auto decoded = parse_json(*variables_json);
  if (!decoded) return fail(kInvalidVariables, decoded.error());
  auto* object = decoded->get_if<JsonObject>();
  if (!object) return fail(kVariablesNotObject);
  // Each use of a variable copies its value: shared, a copy costs a count.
  object->share_values();
  return std::move(*object);
}

}  // namespace ziri
