#include "catalogue/field_name.hpp"

#include <cstddef>

#include "common/unicode.hpp"

namespace ziri {
namespace {

bool is_name_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Bytes of the character starting at `pos`. A malformed sequence counts as
// far as it goes, so that a stray byte still becomes one '_' and the result
// is never empty.
std::size_t character_length(std::string_view text, std::size_t pos) {
  const std::size_t expected = utf8_sequence_length(static_cast<unsigned char>(text[pos]));
  std::size_t length = 1;
  while (length < expected && pos + length < text.size() &&
         is_utf8_continuation(static_cast<unsigned char>(text[pos + length]))) {
    ++length;
  }
  return length;
}

void append_sanitized(std::string& out, std::string_view text) {
  if (text.empty()) {
    out += '_';
    return;
  }
  if (text[0] >= '0' && text[0] <= '9') out += '_';
  for (std::size_t pos = 0; pos < text.size();) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (is_name_char(c)) {
      out += static_cast<char>(c);
      ++pos;
    } else {
      out += '_';
      pos += character_length(text, pos);
    }
  }
}

}  // namespace

std::string sanitize_graphql_name(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  append_sanitized(out, text);
  return out;
}

std::string tool_field_name(std::string_view server_id, std::string_view tool_name) {
  std::string out;
  out.reserve(server_id.size() + tool_name.size() + 3);
  append_sanitized(out, server_id);
  out += '_';
  append_sanitized(out, tool_name);
  return out;
}

}  // namespace ziri
