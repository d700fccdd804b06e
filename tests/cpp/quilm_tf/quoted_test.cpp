#include "quilm_tf/quoted.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;

struct Case {
  std::string_view name;
  std::string_view expected;  // without the surrounding quotes
};

class QuotedName : public ::testing::TestWithParam<Case> {};

TEST_P(QuotedName, EscapesExactlyWhatIsNotPrintable) {
  EXPECT_EQ(quilm_tf::quoted(GetParam().name), "\"" + std::string(GetParam().expected) + "\"");
}

INSTANTIATE_TEST_SUITE_P(
    Printable, QuotedName,
    ::testing::Values(Case{"map", "map"}, Case{"", ""}, Case{" base link ", " base link "},
                      Case{"it's", "it's"}, Case{"caf\xc3\xa9", "caf\xc3\xa9"},
                      Case{"\xe5\x9c\xb0\xe5\x9b\xbe", "\xe5\x9c\xb0\xe5\x9b\xbe"},  // CJK
                      Case{"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},  // U+1F600, four bytes
                      Case{"\xef\xbf\xbd", "\xef\xbf\xbd"},          // U+FFFD itself
                      Case{"\xcd\xb0", "\xcd\xb0"}));  // U+0370, just past the combining block

INSTANTIATE_TEST_SUITE_P(
    Escaped, QuotedName,
    ::testing::Values(Case{"a\"b", "a\\\"b"}, Case{"a\\b", "a\\\\b"},
                      Case{"\t\r\n", "\\t\\r\\n"}, Case{"a\0b"sv, "a\\0b"},
                      Case{"\x01\x1f\x7f", "\\u{1}\\u{1f}\\u{7f}"},
                      Case{"\xc2\x85", "\\u{85}"},               // NEL, a C1 control
                      Case{"a\xc2\xa0" "b", "a\\u{a0}b"},        // no-break space
                      Case{"\xc2\xad", "\\u{ad}"},               // soft hyphen, format
                      Case{"e\xcc\x81", "e\\u{301}"},            // combining acute
                      Case{"\xcd\xaf", "\\u{36f}"},              // last of the combining block
                      Case{"\xe2\x80\xa8\xe2\x80\xa9", "\\u{2028}\\u{2029}"},
                      Case{"\xe3\x80\x80", "\\u{3000}"},         // ideographic space
                      Case{"\xef\xbb\xbf", "\\u{feff}"},         // byte order mark
                      Case{"\xee\x80\x80", "\\u{e000}"},         // private use
                      Case{"\xcd\xb8", "\\u{378}"},              // unassigned
                      Case{"\xf4\x8f\xbf\xbf", "\\u{10ffff}"}));  // noncharacter

// A byte that does not start a well-formed UTF-8 sequence is shown as its value.
INSTANTIATE_TEST_SUITE_P(
    InvalidUtf8, QuotedName,
    ::testing::Values(Case{"\x80", "\\u{80}"}, Case{"a\xc3", "a\\u{c3}"},  // cut at the end
                      Case{"\xe2\x82x", "\\u{e2}\\u{82}x"},             // cut before 'x'
                      Case{"\xc0\xaf", "\\u{c0}\\u{af}"},               // overlong '/'
                      Case{"\xe0\x80\xaf", "\\u{e0}\\u{80}\\u{af}"},    // overlong, 3 bytes
                      Case{"\xed\xa0\x80", "\\u{ed}\\u{a0}\\u{80}"},    // surrogate
                      Case{"\xf4\x90\x80\x80", "\\u{f4}\\u{90}\\u{80}\\u{80}"},  // > U+10FFFF
                      Case{"\xff\xc3\xa9", "\\u{ff}\xc3\xa9"}));

// Between the quotes: escapes, printable ASCII other than '"', or whole multi-byte
// characters. So the result is valid UTF-8 with no raw controls and no bare quote.
TEST(QuotedName, RandomBytesGiveCleanUtf8) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string name(rng() % 12, '\0');
    for (char& c : name) c = static_cast<char>(rng() % 256);
    const std::string out = quilm_tf::quoted(name);
    ASSERT_GE(out.size(), 2U);
    ASSERT_EQ(out.front(), '"');
    ASSERT_EQ(out.back(), '"');
    const std::string_view body = std::string_view(out).substr(1, out.size() - 2);
    for (std::size_t i = 0; i < body.size();) {
      const auto b = static_cast<unsigned char>(body[i]);
      if (b == '\\') {
        ASSERT_LT(i + 1, body.size()) << out;
        const char e = body[i + 1];
        ASSERT_NE(std::string_view("\"\\trn0u").find(e), std::string_view::npos) << out;
        const std::size_t end = e == 'u' ? body.find('}', i) : i + 1;
        ASSERT_NE(end, std::string_view::npos) << out;
        i = end + 1;
        continue;
      }
      const std::size_t length = b < 0x80 ? 1 : b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : 2;
      ASSERT_TRUE(b < 0x80 ? b >= 0x20 && b != 0x7f && b != '"' : b >= 0xc2 && b <= 0xf4) << out;
      ASSERT_LE(i + length, body.size()) << out;
      for (std::size_t k = 1; k < length; ++k) {
        ASSERT_EQ(static_cast<unsigned char>(body[i + k]) & 0xc0, 0x80) << out;
      }
      i += length;
    }
  }
}

}  // namespace
