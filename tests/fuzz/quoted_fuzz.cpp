// libFuzzer harness for the quoted form of names, fed arbitrary bytes. Beyond staying in
// bounds (the address sanitizer watches the decoder's look-ahead), the output must be
// valid UTF-8 between two double quotes, hold no raw control character, line separator or
// bare quote, leave what the string held before untouched, and, for UTF-8 input, unescape
// back to the input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_driver.hpp"
#include "quilm_tf/quoted.hpp"

namespace {

// The code point at text[i] and its length, or length 0 for ill-formed UTF-8 (from the
// Unicode table of well-formed byte sequences, independently of the library's decoder).
std::pair<char32_t, std::size_t> code_point(std::string_view text, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) return {b0, 1};
  const std::size_t length = b0 >> 5 == 0x6 ? 2 : b0 >> 4 == 0xe ? 3 : b0 >> 3 == 0x1e ? 4 : 0;
  if (length == 0 || text.size() - i < length) return {0, 0};
  char32_t cp = b0 & (0x7f >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (b >> 6 != 0x2) return {0, 0};
    cp = (cp << 6) | (b & 0x3f);
  }
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < smallest[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return {0, 0};
  return {cp, length};
}

// The code points between the quotes with the escapes undone; every raw one is checked.
std::u32string unquote(std::string_view quoted) {
  using namespace std::string_view_literals;
  constexpr std::string_view ESCAPES = "\"\\trn0"sv, MEANINGS = "\"\\\t\r\n\0"sv;
  const std::size_t end = quoted.size() - 1;
  std::u32string out;
  for (std::size_t i = 1; i < end;) {
    const auto [cp, length] = code_point(quoted, i);
    if (length == 0) fuzz::fail("output is not valid UTF-8");
    if (cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp == 0x2028 || cp == 0x2029 || cp == '"') {
      fuzz::fail("output holds a raw control character, separator or bare quote");
    }
    i += length;
    if (cp != '\\') {
      out += cp;
      continue;
    }
    const std::size_t simple = i < end ? ESCAPES.find(quoted[i]) : std::string_view::npos;
    if (simple != std::string_view::npos) {
      out += static_cast<char32_t>(MEANINGS[simple]);
      ++i;
      continue;
    }
    // \u{hex}: one to six lower-case digits, no leading zero.
    const std::size_t close = quoted.find('}', i);
    if (i + 2 >= end || quoted.substr(i, 2) != "u{" || close >= end || close == i + 2 ||
        close > i + 8 || quoted[i + 2] == '0') {
      fuzz::fail("output holds a malformed escape");
    }
    char32_t value = 0;
    for (const char c : quoted.substr(i + 2, close - i - 2)) {
      const std::size_t digit = std::string_view("0123456789abcdef").find(c);
      if (digit == std::string_view::npos) fuzz::fail("output holds a malformed escape");
      value = value * 16 + static_cast<char32_t>(digit);
    }
    out += value;
    i = close + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string prefix = "prefix \xff";
  std::string out = prefix;
  quilm_tf::append_quoted(out, input);
  const std::string_view quoted = std::string_view(out).substr(prefix.size());
  if (out.compare(0, prefix.size(), prefix) != 0) fuzz::fail("append_quoted changed the prefix");
  if (quoted != quilm_tf::quoted(input)) fuzz::fail("quoted and append_quoted disagree");
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
    fuzz::fail("output is not between double quotes");
  }
  const std::u32string unquoted = unquote(quoted);
  // Bytes that are not UTF-8 come out as escapes of their values, which read back as other
  // characters; only well-formed input must come back exactly.
  std::u32string expected;
  for (std::size_t i = 0; i < input.size();) {
    const auto [cp, length] = code_point(input, i);
    if (length == 0) return 0;
    expected += cp;
    i += length;
  }
  if (unquoted != expected) fuzz::fail("output does not unescape to the input");
  return 0;
}
