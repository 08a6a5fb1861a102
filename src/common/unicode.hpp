// Unicode white space, as trimming needs it.
#pragma once

#include <string_view>

namespace ziri {

/// Whether the code point has the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

/// Returns `text` without the White_Space characters at either end.
/// Bytes that are not valid UTF-8 are never white space.
std::string_view trim_white_space(std::string_view text);

/// Whether `text` is empty after trimming.
inline bool is_blank(std::string_view text) { return trim_white_space(text).empty(); }

}  // namespace ziri
