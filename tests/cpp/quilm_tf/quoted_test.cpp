#include "quilm_tf/quoted.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

namespace {

using namespace std::string_view_literals;

// Expected texts are given without the surrounding quotes.
void expect_quoted(std::initializer_list<std::pair<std::string_view, std::string_view>> cases) {
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(quilm_tf::quoted(name), "\"" + std::string(expected) + "\"");
  }
}

TEST(QuotedName, KeepsPrintableCharactersOfEveryLength) {
  // ASCII with the space, two-, three- and four-byte characters; U+0370 follows the
  // combining block.
  expect_quoted({{" it's ", " it's "},
                 {"caf\xc3\xa9 \xe5\x9c\xb0 \xf0\x9f\x98\x80 \xcd\xb0",
                  "caf\xc3\xa9 \xe5\x9c\xb0 \xf0\x9f\x98\x80 \xcd\xb0"}});
}

TEST(QuotedName, EscapesControlsFormatsMarksSeparatorsAndUnassigned) {
  expect_quoted({
      {"a\"b\\c", "a\\\"b\\\\c"},
      {"\t\r\n\0"sv, "\\t\\r\\n\\0"},
      {"\x01\x1f\x7f", "\\u{1}\\u{1f}\\u{7f}"},
      {"\xc2\x85\xc2\xa0\xc2\xad", "\\u{85}\\u{a0}\\u{ad}"},  // NEL, no-break space, soft hyphen
      {"e\xcc\x81\xcd\xaf", "e\\u{301}\\u{36f}"},             // combining marks to the block's end
      {"\xe2\x80\xa8\xe3\x80\x80\xef\xbb\xbf", "\\u{2028}\\u{3000}\\u{feff}"},  // separators, BOM
      // Private use, unassigned, a noncharacter.
      {"\xee\x80\x80\xcd\xb8\xf4\x8f\xbf\xbf", "\\u{e000}\\u{378}\\u{10ffff}"},
  });
}

// A byte that does not start a well-formed UTF-8 sequence is shown as its value, and the
// next byte is read afresh.
TEST(QuotedName, ShowsEachByteOfInvalidUtf8) {
  expect_quoted({
      {"\xf5\x80\x80\x80", "\\u{f5}\\u{80}\\u{80}\\u{80}"},  // no lead above f4
      {"a\xc3", "a\\u{c3}"},                                 // cut at the end
      {"\xe2\x82x", "\\u{e2}\\u{82}x"},                      // cut before 'x'
      {"\xc0\xaf", "\\u{c0}\\u{af}"},                        // overlong '/'
      {"\xe0\x80\xaf", "\\u{e0}\\u{80}\\u{af}"},             // overlong, 3 bytes
      {"\xf0\x8f\xbf\xbf", "\\u{f0}\\u{8f}\\u{bf}\\u{bf}"},  // overlong, 4 bytes
      {"\xed\xa0\x80", "\\u{ed}\\u{a0}\\u{80}"},             // surrogate
      {"\xf4\x90\x80\x80", "\\u{f4}\\u{90}\\u{80}\\u{80}"},  // beyond U+10FFFF
      {"\xff\xc3\xa9", "\\u{ff}\xc3\xa9"},
  });
}

}  // namespace
