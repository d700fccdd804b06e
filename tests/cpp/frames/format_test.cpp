#include "frames/format.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Limits = std::numeric_limits<double>;

// The law below covers the finite range; these are the spellings it cannot tell apart.
TEST(NumberFormat, WritesTheShortestPositionalText) {
  for (const auto& [value, text] :
       {std::pair{2.0, "2"}, {1e-7, "0.0000001"}, {0x1p60, "1152921504606847000"},
        {0.1 + 0.2, "0.30000000000000004"}, {-0.0, "-0"}, {Limits::infinity(), "inf"},
        {-Limits::infinity(), "-inf"}, {Limits::quiet_NaN(), "NaN"}}) {
    EXPECT_EQ(frames::format_number(value), text);
  }
}

// The digits of a decimal text without sign, point, exponent, leading or trailing zeros.
std::string significant(std::string_view text) {
  std::string digits;
  for (const char c : text.substr(0, text.find('e'))) {
    if (c >= '0' && c <= '9') digits += c;
  }
  digits.erase(0, digits.find_first_not_of('0'));
  return digits.erase(digits.find_last_not_of('0') + 1);
}

// Reads back exactly, positional, a point only where the value has a fraction and only
// between digits, and as many significant digits as the shortest scientific form.
TEST(NumberFormat, ShortestRoundTripAcrossTheRange) {
  std::vector<double> values{Limits::denorm_min(), 3 * Limits::denorm_min(),
                             std::nextafter(Limits::min(), 0.0), Limits::min(), Limits::max(),
                             0.1, 1.0 / 3, 1e23, std::nextafter(0x1p53, 0.0), 0x1p53 + 2, 0.0};
  for (int e = -1074; e <= 1023; e += 3) values.push_back(std::ldexp(1.0, e));
  for (int e = -323; e <= 308; ++e) {
    values.push_back(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));
  }
  for (const double v : values) {
    for (const double x : {v, -v}) {
      const std::string text = frames::format_number(x);
      EXPECT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
      EXPECT_EQ(text.find_first_not_of("-0123456789."), std::string::npos) << text;
      const std::size_t point = text.find('.');
      EXPECT_EQ(point == std::string::npos, x == std::trunc(x)) << text;
      EXPECT_TRUE(point == std::string::npos ||
                  (point > 0 && text[point - 1] != '-' && point + 1 < text.size()))
          << text;
      char sci[32];
      const auto end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
      EXPECT_EQ(significant(text).size(), significant({sci, end}).size()) << text;
    }
  }
}

}  // namespace
