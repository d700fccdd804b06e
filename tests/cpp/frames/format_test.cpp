#include "frames/format.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <limits>
#include <utility>

namespace {

class NumberFormat : public ::testing::TestWithParam<std::pair<double, const char*>> {};

TEST_P(NumberFormat, WritesShortestPositionalText) {
  EXPECT_EQ(frames::format_number(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, NumberFormat,
    ::testing::Values(std::pair{1.5, "1.5"}, std::pair{2.0, "2"}, std::pair{1e-7, "0.0000001"},
                      std::pair{1e22, "10000000000000000000000"}, std::pair{1.1, "1.1"},
                      std::pair{0.1 + 0.2, "0.30000000000000004"}, std::pair{-0.25, "-0.25"},
                      std::pair{0.0, "0"},
                      std::pair{std::numeric_limits<double>::infinity(), "inf"},
                      std::pair{-std::numeric_limits<double>::infinity(), "-inf"},
                      std::pair{std::numeric_limits<double>::quiet_NaN(), "NaN"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(NumberFormat, ExtremesRoundTrip) {
  for (double v : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                   -std::numeric_limits<double>::min()}) {
    const std::string text = frames::format_number(v);
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
    double back = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_EQ(back, v) << text;
  }
}

}  // namespace
