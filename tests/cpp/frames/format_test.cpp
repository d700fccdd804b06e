#include "frames/format.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <limits>
#include <utility>

namespace {

using Limits = std::numeric_limits<double>;

TEST(NumberFormat, WritesTheShortestPositionalText) {
  for (const auto& [value, text] :
       {std::pair{2.0, "2"}, {1e-7, "0.0000001"}, {1e22, "10000000000000000000000"},
        {0.1 + 0.2, "0.30000000000000004"}, {-0.25, "-0.25"}, {Limits::infinity(), "inf"},
        {-Limits::infinity(), "-inf"}, {Limits::quiet_NaN(), "NaN"}}) {
    EXPECT_EQ(frames::format_number(value), text);
  }
}

// The widest texts: 309 digits before the point, 1074 after it.
TEST(NumberFormat, ExtremesRoundTrip) {
  for (double v : {Limits::max(), -Limits::denorm_min()}) {
    const std::string text = frames::format_number(v);
    double back = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_EQ(back, v) << text;
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
  }
}

}  // namespace
