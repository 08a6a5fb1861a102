#include "common/unicode.hpp"

namespace ziri {
namespace {

// White space needs at most three bytes (U+3000), so longer sequences never match.
constexpr std::size_t kLongestWhiteSpace = 3;

// Decodes the UTF-8 sequence of `text` that starts at `pos` and ends exactly
// at `end`; returns U+FFFF (never white space) for anything malformed or longer
// than white space can be.
char32_t decode(std::string_view text, std::size_t pos, std::size_t end) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = utf8_sequence_length(lead);
  if (length == 0 || length > kLongestWhiteSpace || pos + length != end) return 0xFFFF;
  if (length == 1) return lead;
  char32_t c = lead & (length == 2 ? 0x1F : 0x0F);
  for (std::size_t i = pos + 1; i < end; ++i) {
    if (!is_utf8_continuation(byte(i))) return 0xFFFF;
    c = (c << 6) | (byte(i) & 0x3F);
  }
  return c;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length = utf8_sequence_length(static_cast<unsigned char>(text[begin]));
    std::size_t end = begin + (length == 0 ? 1 : length);
    if (end > text.size() || !is_white_space(decode(text, begin, end))) break;
    begin = end;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && end - start < kLongestWhiteSpace &&
           is_utf8_continuation(static_cast<unsigned char>(text[start]))) {
      --start;
    }
    if (!is_white_space(decode(text, start, end))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace ziri
