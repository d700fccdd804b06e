// libFuzzer harness for the quoted form of names, fed arbitrary bytes. Beyond staying in
// bounds (the address sanitizer watches the decoder's look-ahead), the output must be
// valid UTF-8 between two double quotes, hold no raw control character and no bare quote,
// leave what the string held before untouched, and, for UTF-8 input, unescape back to the
// input. The first eight bytes also make a double, whose message text must be positional
// and read back as the same value.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "frames/format.hpp"
#include "quilm_tf/quoted.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "invariant broken: %s (input of %zu bytes)\n", what, input.size());
  std::abort();
}

// The code point starting at text[i] and its length, or nothing for ill-formed UTF-8
// (written from the Unicode table of well-formed byte sequences, independently of the
// library's decoder).
std::optional<std::pair<char32_t, std::size_t>> next_code_point(std::string_view text,
                                                                std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return std::pair{char32_t{b0}, std::size_t{1}};
  std::size_t length;
  char32_t cp;
  if (b0 >> 5 == 0x6) {
    length = 2, cp = b0 & 0x1f;
  } else if (b0 >> 4 == 0xe) {
    length = 3, cp = b0 & 0x0f;
  } else if (b0 >> 3 == 0x1e) {
    length = 4, cp = b0 & 0x07;
  } else {
    return std::nullopt;
  }
  if (text.size() - i < length) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    if (byte(k) >> 6 != 0x2) return std::nullopt;
    cp = (cp << 6) | (byte(k) & 0x3f);
  }
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < smallest[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
    return std::nullopt;
  }
  return std::pair{cp, length};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

// The text between the quotes with its escapes undone, or nothing when an escape is
// malformed or a quote is left bare. Checks every raw code point on the way.
std::optional<std::string> unquote(std::string_view quoted, std::string_view input) {
  std::string out;
  std::size_t i = 1;
  const std::size_t end = quoted.size() - 1;
  while (i < end) {
    const auto next = next_code_point(quoted, i);
    if (!next) fail("output is not valid UTF-8", input);
    const auto [cp, length] = *next;
    if (cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp == 0x2028 || cp == 0x2029) {
      fail("output holds a raw control or separator character", input);
    }
    if (cp == '"') return std::nullopt;
    if (cp != '\\') {
      out.append(quoted.substr(i, length));
      i += length;
      continue;
    }
    if (i + 1 >= end) return std::nullopt;
    const char kind = quoted[i + 1];
    i += 2;
    switch (kind) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case '0': out += '\0'; break;
      case 'u': {
        if (i >= end || quoted[i] != '{') return std::nullopt;
        const std::size_t close = quoted.find('}', i);
        if (close == std::string_view::npos || close >= end || close == i + 1 || close > i + 7) {
          return std::nullopt;
        }
        char32_t value = 0;
        for (std::size_t k = i + 1; k < close; ++k) {
          const char c = quoted[k];
          const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
          if (digit < 0) return std::nullopt;  // lower-case hexadecimal only
          value = value * 16 + static_cast<char32_t>(digit);
        }
        if (quoted[i + 1] == '0') return std::nullopt;  // no leading zeros
        append_utf8(out, value);
        i = close + 1;
        break;
      }
      default: return std::nullopt;
    }
  }
  return out;
}

bool valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto next = next_code_point(text, i);
    if (!next) return false;
    i += next->second;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string prefix = "prefix \xff";
  std::string out = prefix;
  quilm_tf::append_quoted(out, input);
  if (out.compare(0, prefix.size(), prefix) != 0) fail("append_quoted changed the prefix", input);
  const std::string_view quoted = std::string_view(out).substr(prefix.size());
  if (quoted != quilm_tf::quoted(input)) fail("quoted and append_quoted disagree", input);
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
    fail("output is not between double quotes", input);
  }
  const auto unquoted = unquote(quoted, input);
  if (!unquoted) fail("output holds a malformed escape or a bare quote", input);
  // Bytes that are not UTF-8 come out as escapes of their values, which read back as other
  // characters; only well-formed input must come back exactly.
  if (valid_utf8(input) && *unquoted != input) fail("output does not unescape to the input", input);
  double number = 0.0;
  if (size > 0) std::memcpy(&number, data, std::min(size, sizeof number));
  const std::string text = frames::format_number(number);
  if (std::isfinite(number) && (std::strtod(text.c_str(), nullptr) != number ||
                                text.find_first_not_of("-0123456789.") != std::string::npos)) {
    fail("number text is not positional or does not read back", input);
  }
  return 0;
}
