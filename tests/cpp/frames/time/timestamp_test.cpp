#include "frames/time/timestamp.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "frames/format.hpp"

namespace {

using frames::format_number;
using frames::time::Duration;
using frames::time::Timestamp;
using frames::time::u128;

constexpr u128 S = 1'000'000'000;
// The first span whose whole seconds no longer fit in 64 bits.
constexpr u128 OVERFLOW_NS = S << 64;
constexpr Duration LONGEST{~std::uint64_t{0}, 999'999'999};

struct SinceCase {
  const char* name;
  u128 later_ns;
  u128 earlier_ns;
  Duration expected;
  const char* error = "";
};

class TimestampDurationSince : public ::testing::TestWithParam<SinceCase> {};

TEST_P(TimestampDurationSince, SplitsTheDifferenceOrFails) {
  const SinceCase& c = GetParam();
  const Timestamp later{c.later_ns};
  for (const auto& result :
       {later.duration_since(Timestamp{c.earlier_ns}), later - Timestamp{c.earlier_ns}}) {
    EXPECT_EQ(result ? "" : to_string(result.error()), c.error);
    EXPECT_EQ(result ? *result : Duration{}, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimestampDurationSince,
    ::testing::Values(SinceCase{"Equal", 7 * S, 7 * S, {0, 0}},
                      SinceCase{"ThreeAndAQuarter", 10 * S, 6 * S + 750'000'000, {3, 250'000'000}},
                      SinceCase{"EarlierIsLater", 1, 2, {}, "duration underflow"},
                      SinceCase{"LongestSpan", OVERFLOW_NS - 1, 0, LONGEST},
                      SinceCase{"OneNanosecondTooLong", OVERFLOW_NS, 0, {}, "duration overflow"},
                      // The bound is on the difference, not on the later stamp itself.
                      SinceCase{"LongestSpanFromNonZero", OVERFLOW_NS + 4, 5, LONGEST},
                      SinceCase{"TooLongFromNonZero", OVERFLOW_NS + 5, 5, {}, "duration overflow"},
                      SinceCase{"WholeRange", ~u128{0}, 0, {}, "duration overflow"}),
    [](const auto& info) { return std::string(info.param.name); });

// checked_sub's value, or nullopt when it underflows.
std::optional<Timestamp> back(u128 stamp_ns, Duration span) {
  const auto result = Timestamp{stamp_ns}.checked_sub(span);
  if (result) return *result;
  EXPECT_EQ(to_string(result.error()), "duration underflow");
  return std::nullopt;
}

TEST(TimestampCheckedSub, StepsBackOrUnderflows) {
  EXPECT_EQ(back(10 * S, {3, 250'000'000}), Timestamp{6 * S + 750'000'000});
  EXPECT_EQ(back(10 * S, {10, 0}), Timestamp{0});
  EXPECT_EQ(back(10 * S, {10, 1}), std::nullopt);
  // The longest Duration needs more than 64 bits of nanoseconds.
  EXPECT_EQ(back(OVERFLOW_NS, LONGEST), Timestamp{1});
  EXPECT_EQ(back(OVERFLOW_NS - 2, LONGEST), std::nullopt);
}

TEST(TimestampSeconds, RoundsTheCountOnceThenDivides) {
  EXPECT_EQ(format_number(Timestamp{2 * S}.to_seconds()), "2");
  EXPECT_EQ(format_number(Timestamp{S + 500'000'000}.to_seconds()), "1.5");
  // 2^53 + 3 rounds to even (2^53 + 4); truncating, or adding seconds and nanoseconds
  // separately, reads ...994.
  EXPECT_EQ(format_number(Timestamp{(u128{1} << 53) + 3}.to_seconds()), "9007199.254740996");
  EXPECT_EQ(Timestamp{~u128{0}}.to_seconds(), 3.402823669209385e29);
}

TEST(DurationSeconds, AddsTheFractionToTheSeconds) {
  EXPECT_EQ((Duration{1, 500'000'000}.as_seconds()), 1.5);
  // Dividing the whole count instead would give 1099511627777.0999.
  EXPECT_EQ(format_number((Duration{1099511627777, 100'000'001}).as_seconds()), "1099511627777.1");
}

}  // namespace
