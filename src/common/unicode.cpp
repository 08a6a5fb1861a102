#include "common/unicode.hpp"

namespace ziri {
namespace {

// Decodes the UTF-8 sequence of `text` that starts at `pos` and ends exactly
// at `end`; returns U+FFFF (never white space) for anything malformed.
char32_t decode(std::string_view text, std::size_t pos, std::size_t end) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 0;
  if (length == 0 || pos + length != end) return 0xFFFF;
  if (length == 1) return lead;
  char32_t c = lead & (length == 2 ? 0x1F : 0x0F);
  for (std::size_t i = pos + 1; i < end; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0xFFFF;
    c = (c << 6) | (byte(i) & 0x3F);
  }
  return c;
}

// White space needs at most three bytes (U+3000), so longer sequences never match.
std::size_t sequence_length(unsigned char lead) {
  return lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 1;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = begin + sequence_length(static_cast<unsigned char>(text[begin]));
    if (end > text.size() || !is_white_space(decode(text, begin, end))) break;
    begin = end;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && end - start < 3 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    if (!is_white_space(decode(text, start, end))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace ziri
