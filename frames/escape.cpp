#include "frames/escape.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>

namespace frames {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "frames/escape_tables.inc"

bool is_escaped(char32_t cp) noexcept {
  // The last range whose first code point is not above cp is the only one that can hold it.
  const auto* end = ESCAPED_RANGES + ESCAPED_RANGE_COUNT;
  const auto* it =
      std::upper_bound(ESCAPED_RANGES, end, cp,
                       [](char32_t value, const CodePointRange& r) { return value < r.first; });
  return it != ESCAPED_RANGES && cp <= (it - 1)->last;
}

void append_code_point_escape(std::string& out, std::uint32_t value) {
  char digits[8];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, 16);
  (void)ec;  // eight hex digits hold any 32-bit value
  out += "\\u{";
  out.append(digits, end);
  out += '}';
}

bool is_plain_ascii(unsigned char c) noexcept {
  return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
}

// Length of the well-formed UTF-8 sequence at the start of `rest` and its code point, or
// 0 when the bytes there are not one (stray continuation, overlong form, surrogate, beyond
// U+10FFFF, or cut short by the end of the string).
std::size_t decode(std::string_view rest, char32_t& cp) noexcept {
  const auto b0 = static_cast<unsigned char>(rest[0]);
  std::size_t length = 0;
  unsigned char low = 0x80;  // bounds of the second byte, which rule out the bad forms
  unsigned char high = 0xbf;
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    length = 2;
    cp = b0 & 0x1f;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    length = 3;
    cp = b0 & 0x0f;
    if (b0 == 0xe0) low = 0xa0;
    if (b0 == 0xed) high = 0x9f;
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    length = 4;
    cp = b0 & 0x07;
    if (b0 == 0xf0) low = 0x90;
    if (b0 == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (rest.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(rest[i]);
    const unsigned char lo = i == 1 ? low : 0x80;
    const unsigned char hi = i == 1 ? high : 0xbf;
    if (b < lo || b > hi) return 0;
    cp = (cp << 6) | (b & 0x3f);
  }
  return length;
}

void append_ascii(std::string& out, unsigned char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\0': out += "\\0"; return;
    default: break;
  }
  if (is_plain_ascii(c)) {
    out += static_cast<char>(c);
  } else {
    append_code_point_escape(out, c);
  }
}

}  // namespace

void append_escaped(std::string& out, std::string_view name) {
  // Most names are short printable ASCII: copy them in one piece.
  const auto plain = [](char c) { return is_plain_ascii(static_cast<unsigned char>(c)); };
  if (std::all_of(name.begin(), name.end(), plain)) {
    out += name;
    return;
  }
  std::size_t i = 0;
  while (i < name.size()) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x80) {
      append_ascii(out, c);
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t length = decode(name.substr(i), cp);
    if (length == 0) {
      // Not UTF-8: show the byte's value, escaped, so the bad byte stays visible and the
      // output stays valid UTF-8.
      append_code_point_escape(out, c);
      ++i;
      continue;
    }
    if (is_escaped(cp)) {
      append_code_point_escape(out, static_cast<std::uint32_t>(cp));
    } else {
      out.append(name.data() + i, length);
    }
    i += length;
  }
}

}  // namespace frames
