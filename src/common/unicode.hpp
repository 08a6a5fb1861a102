// UTF-8 sequences and Unicode white space, as trimming and naming need them.
#pragma once

#include <cstddef>
#include <string_view>

namespace ziri {

/// The bytes of the UTF-8 sequence that `lead` starts: 1 to 4, or 0 for a
/// continuation byte, which starts none. Bytes past 0xF4 count as four-byte
/// leads; whether the sequence is valid is for its reader to judge.
constexpr std::size_t utf8_sequence_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

/// Whether `byte` continues a UTF-8 sequence rather than starting one.
constexpr bool is_utf8_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

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
