#include "common/json.hpp"

#include <yyjson.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <format>
#include <memory>

#include "common/unicode.hpp"

namespace ziri {

// JsonObject

const Json* JsonObject::find(std::string_view key) const {
  auto it = std::ranges::lower_bound(members_, key, std::less<>{}, &Member::first);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

void JsonObject::insert_or_assign(std::string key, Json value) {
  // Members usually arrive in order (arguments, data keys), so try the end first.
  if (members_.empty() || members_.back().first < key) {
    members_.emplace_back(std::move(key), std::move(value));
    return;
  }
  auto it = std::ranges::lower_bound(members_, key, std::less<>{}, &Member::first);
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members_.emplace(it, std::move(key), std::move(value));
  }
}

void JsonObject::share_values() {
  for (auto& member : members_) {
    if (!member.second.get_if<SharedJson>()) {
      member.second = Json(std::make_shared<const Json>(std::move(member.second)));
    }
  }
}

JsonObject JsonObject::from_sorted(std::vector<Member> members) {
  assert(std::ranges::adjacent_find(members, std::greater_equal<>{}, &Member::first) ==
         members.end());
  JsonObject object;
  object.members_ = std::move(members);
  return object;
}

namespace {

// Of each run of equal keys in sorted members keep the last.
void keep_last_of_equal_keys(std::vector<JsonObject::Member>& members) {
  auto out = members.begin();
  for (auto it = members.begin(); it != members.end(); ++it) {
    auto next = std::next(it);
    if (next != members.end() && next->first == it->first) continue;
    if (out != it) *out = std::move(*it);
    ++out;
  }
  members.erase(out, members.end());
}

// The first eight bytes of a key as a big-endian number, zero-padded: comparing
// two of them orders the keys as their bytes do, up to a tie.
std::uint64_t key_prefix(std::string_view key) {
  std::uint64_t prefix = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    prefix = prefix << 8 | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  }
  return prefix;
}

}  // namespace

JsonObject JsonObject::from_unsorted(std::vector<Member> members) {
  if (std::ranges::is_sorted(members, std::less<>{}, &Member::first)) {
    keep_last_of_equal_keys(members);
    return from_sorted(std::move(members));
  }
  // Sort small records that point at the members, not the members themselves:
  // moving a member costs a string and a JSON value, and most comparisons are
  // settled by the prefixes alone. Ties on the key go by position, so the last
  // of each run of equal keys is the one written last.
  struct Entry {
    std::uint64_t prefix;
    std::string_view key;
    std::size_t index;
  };
  std::vector<Entry> order;
  order.reserve(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    order.push_back({key_prefix(members[i].first), members[i].first, i});
  }
  std::ranges::sort(order, [](const Entry& a, const Entry& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (int c = a.key.compare(b.key); c != 0) return c < 0;
    return a.index < b.index;
  });
  std::vector<Member> sorted;
  sorted.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + 1 < order.size() && order[i + 1].key == order[i].key) continue;
    sorted.push_back(std::move(members[order[i].index]));
  }
  return from_sorted(std::move(sorted));
}

// Reading

namespace {

struct DocDeleter {
  void operator()(yyjson_doc* doc) const { yyjson_doc_free(doc); }
};

// What a forward scan of valid JSON text up to some offset found: the first
// bracket that opens level kJsonMaxDepth + 1, and what was open at the end.
struct Nesting {
  std::optional<std::size_t> too_deep_at;
  bool in_string = false;
  char innermost = 0;  // '[' or '{' or 0
};

// The text before `end` was accepted by the reader, so strings can be skipped
// by their quotes and escapes alone.
Nesting scan_nesting(std::string_view text, std::size_t end) {
  std::array<char, kJsonMaxDepth + 1> open{};
  std::size_t depth = 0;
  Nesting result;
  for (std::size_t i = 0; i < end; ++i) {
    char c = text[i];
    if (result.in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        result.in_string = false;
      }
    } else if (c == '"') {
      result.in_string = true;
    } else if (c == '[' || c == '{') {
      if (depth == kJsonMaxDepth) {
        result.too_deep_at = i;
        return result;
      }
      open[depth++] = c;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  result.innermost = depth > 0 ? open[depth - 1] : 0;
  return result;
}

// Line and column of a byte offset, both counted from 1 in characters; at the
// end of the text the column is that of the last character, as for a reader
// that reports where it stopped.
std::string locate(std::string_view text, std::size_t pos) {
  std::size_t line_start = 0, line = 1;
  for (std::size_t i = 0; i < pos && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::size_t column = 0;
  std::size_t stop = std::min(pos + 1, text.size());
  for (std::size_t i = line_start; i < stop; ++i) {
    if (!is_utf8_continuation(static_cast<unsigned char>(text[i]))) ++column;
  }
  return std::format(" at line {} column {}", line, column);
}

// What tells apart the cases that one yyjson code covers.
enum class Test : std::uint8_t {
  always,
  in_string,    // the text stopped inside a string
  in_array,     // ... with an array innermost
  in_object,    // ... with an object innermost
  message_has,  // yyjson's English message holds `word`: the only tell for strings
};

struct ErrorRow {
  yyjson_read_code code;
  Test test;
  std::string_view word;  // for message_has
  std::string_view ours;
  bool at_end = false;  // reported at the end of the text, not where yyjson stopped
};

// yyjson's read errors and our wording for them, checked against yyjson 0.12.0;
// the first row whose code and test match wins, and a code with no row keeps
// yyjson's own message. The JSON reader's tests hold a case for every row a
// text reaches, so an upgrade that moves a case to another code, or rewords a
// message the rows look into, fails that row's case instead of changing the
// engine's output.
constexpr ErrorRow kErrorRows[] = {
    // An empty text: "input length is 0"; blanks only: "input data is empty".
    {YYJSON_READ_ERROR_INVALID_PARAMETER, Test::always, {}, "EOF while parsing a value", true},
    {YYJSON_READ_ERROR_EMPTY_CONTENT, Test::always, {}, "EOF while parsing a value", true},
    // "unexpected end of data": what was open at the end says what broke off.
    {YYJSON_READ_ERROR_UNEXPECTED_END, Test::in_string, {}, "EOF while parsing a string"},
    {YYJSON_READ_ERROR_UNEXPECTED_END, Test::in_array, {}, "EOF while parsing a list"},
    {YYJSON_READ_ERROR_UNEXPECTED_END, Test::in_object, {}, "EOF while parsing an object"},
    {YYJSON_READ_ERROR_UNEXPECTED_END, Test::always, {}, "EOF while parsing a value"},
    {YYJSON_READ_ERROR_UNEXPECTED_CONTENT, Test::always, {}, "trailing characters"},
    {YYJSON_READ_ERROR_INVALID_NUMBER, Test::always, {}, "invalid number"},
    // One code for every fault inside a string.
    // "unexpected control character in string"
    {YYJSON_READ_ERROR_INVALID_STRING, Test::message_has, "control",
     "control character (\\u0000-\\u001F) found while parsing a string"},
    // "invalid escaped sequence in string"
    {YYJSON_READ_ERROR_INVALID_STRING, Test::message_has, "escape", "invalid escape"},
    // "no low surrogate in string", "invalid low (high) surrogate in string"
    {YYJSON_READ_ERROR_INVALID_STRING, Test::message_has, "surrogate",
     "lone surrogate in hex escape"},
    // "unclosed string": in the library, though no text we tried reaches it
    // (a string that breaks off is UNEXPECTED_END above).
    {YYJSON_READ_ERROR_INVALID_STRING, Test::message_has, "unclosed", "EOF while parsing a string"},
    // "invalid UTF-8 encoding in string"
    {YYJSON_READ_ERROR_INVALID_STRING, Test::always, {}, "invalid unicode code point"},
    // "invalid literal, expected 'true'" (and 'false', 'null')
    {YYJSON_READ_ERROR_LITERAL, Test::always, {}, "expected ident"},
};

bool row_matches(const ErrorRow& row, const yyjson_read_err& err, std::string_view message,
                 const Nesting& nesting) {
  if (row.code != err.code) return false;
  switch (row.test) {
    case Test::always:
      return true;
    case Test::in_string:
      return nesting.in_string;
    case Test::in_array:
      return !nesting.in_string && nesting.innermost == '[';
    case Test::in_object:
      return !nesting.in_string && nesting.innermost == '{';
    case Test::message_has:
      return message.find(row.word) != message.npos;
  }
  return false;
}

std::string describe_error(std::string_view text, const yyjson_read_err& err) {
  std::string_view message = err.msg ? err.msg : "invalid JSON";
  Nesting nesting = scan_nesting(text, std::min(err.pos, text.size()));
  if (nesting.too_deep_at) return "recursion limit exceeded" + locate(text, *nesting.too_deep_at);
  for (const ErrorRow& row : kErrorRows) {
    if (row_matches(row, err, message, nesting)) {
      return std::string(row.ours) + locate(text, row.at_end ? text.size() : err.pos);
    }
  }
  return std::string(message) + locate(text, err.pos);
}

// Depth is bounded by the caller, so this recursion is too.
Json convert(yyjson_val* val, int depth, bool& too_deep) {
  switch (yyjson_get_type(val)) {
    case YYJSON_TYPE_BOOL:
      return yyjson_get_bool(val);
    case YYJSON_TYPE_NUM:
      switch (yyjson_get_subtype(val)) {
        case YYJSON_SUBTYPE_UINT:
          return yyjson_get_uint(val);
        case YYJSON_SUBTYPE_SINT:
          return yyjson_get_sint(val);
        default:
          return yyjson_get_real(val);
      }
    case YYJSON_TYPE_STR:
      return std::string(yyjson_get_str(val), yyjson_get_len(val));
    case YYJSON_TYPE_ARR: {
      if (depth == kJsonMaxDepth) {
        too_deep = true;
        return nullptr;
      }
      JsonArray array;
      array.reserve(yyjson_arr_size(val));
      yyjson_val* item;
      yyjson_arr_iter it = yyjson_arr_iter_with(val);
      while ((item = yyjson_arr_iter_next(&it))) {
        array.push_back(convert(item, depth + 1, too_deep));
        if (too_deep) return nullptr;
      }
      return array;
    }
    case YYJSON_TYPE_OBJ: {
      if (depth == kJsonMaxDepth) {
        too_deep = true;
        return nullptr;
      }
      std::vector<JsonObject::Member> members;
      members.reserve(yyjson_obj_size(val));
      yyjson_val *key, *item;
      yyjson_obj_iter it = yyjson_obj_iter_with(val);
      while ((key = yyjson_obj_iter_next(&it))) {
        item = yyjson_obj_iter_get_val(key);
        members.emplace_back(std::string(yyjson_get_str(key), yyjson_get_len(key)),
                             convert(item, depth + 1, too_deep));
        if (too_deep) return nullptr;
      }
      return JsonObject::from_unsorted(std::move(members));
    }
    default:
      return nullptr;
  }
}

}  // namespace

std::expected<Json, std::string> parse_json(std::string_view text) {
  yyjson_read_err err{};
  std::unique_ptr<yyjson_doc, DocDeleter> doc(yyjson_read_opts(
      const_cast<char*>(text.data()), text.size(), YYJSON_READ_NOFLAG, nullptr, &err));
  if (!doc) {
    if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
    return std::unexpected(describe_error(text, err));
  }
  bool too_deep = false;
  Json value = convert(yyjson_doc_get_root(doc.get()), 0, too_deep);
  if (too_deep) {
    std::size_t at = scan_nesting(text, text.size()).too_deep_at.value_or(0);
    return std::unexpected("recursion limit exceeded" + locate(text, at));
  }
  return value;
}

// Writing

namespace {

// For each byte: 0 = copy as is, otherwise the letter of its short escape or
// 'u' for \u00xx.
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

void write_double(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
  std::string_view text(buffer, end);
  out += text;
  // Keep a double a double when the text is read back.
  if (text.find_first_of(".e") == text.npos) out += ".0";
}

template <class Int>
void write_integer(std::string& out, Int i) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, i);
  out.append(buffer, end);
}

}  // namespace

bool json_string_needs_escape(std::string_view text) {
  bool found = false;
  for (unsigned char c : text) found |= (c < 0x20) | (c == '"') | (c == '\\');
  return found;
}

void write_json_string(std::string& out, std::string_view text) {
  // Texts without escapes are copied in one go.
  if (!json_string_needs_escape(text)) {
    out += '"';
    out += text;
    out += '"';
    return;
  }
  out += '"';
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    char escape = kEscape[static_cast<unsigned char>(text[i])];
    if (escape == 0) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    if (escape == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      unsigned char c = static_cast<unsigned char>(text[i]);
      const char unicode[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(unicode, sizeof unicode);
    } else {
      const char pair[] = {'\\', escape};
      out.append(pair, sizeof pair);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

void write_json(std::string& out, const Json& value) {
  // value() looks through a shared value, so the visit never meets one and
  // no branch writes it.
  std::visit(
      [&out]<class T>(const T& v) {
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>) {
          write_integer(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
          write_double(out, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          write_json_string(out, v);
        } else if constexpr (std::is_same_v<T, JsonArray>) {
          out += '[';
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ',';
            write_json(out, v[i]);
          }
          out += ']';
        } else if constexpr (std::is_same_v<T, JsonObject>) {
          out += '{';
          bool first = true;
          for (const auto& [key, member] : v) {
            if (!first) out += ',';
            first = false;
            write_json_string(out, key);
            out += ':';
            write_json(out, member);
          }
          out += '}';
        } else if constexpr (std::is_same_v<T, RawJson>) {
          std::size_t at = out.size();
          out.resize_and_overwrite(at + v.size(), [&](char* data, std::size_t size) {
            v.write(data + at);
            return size;
          });
        }
      },
      value.value());
}

RawJson::RawJson(std::string text)
    : size_(text.size()),
      write_([text = std::move(text)](char* out) { text.copy(out, text.size()); }) {}

std::string RawJson::text() const {
  std::string out;
  write_json(out, *this);
  return out;
}

std::string to_json(const Json& value) {
  std::string out;
  write_json(out, value);
  return out;
}

}  // namespace ziri
