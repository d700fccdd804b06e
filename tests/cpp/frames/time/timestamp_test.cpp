#include "frames/time/timestamp.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "frames/format.hpp"

namespace {

using frames::time::Duration;
using frames::time::TimeError;
using frames::time::Timestamp;
using frames::time::u128;

constexpr u128 S = 1'000'000'000;
// The first span whose whole seconds no longer fit in 64 bits.
constexpr u128 OVERFLOW_NS = S << 64;

struct SinceCase {
  const char* name;
  u128 later_ns;
  u128 earlier_ns;
  std::optional<Duration> expected;  // empty: the error below
  TimeError error = TimeError::DurationUnderflow;
};

class TimestampDurationSince : public ::testing::TestWithParam<SinceCase> {};

TEST_P(TimestampDurationSince, SplitsTheDifferenceOrFails) {
  const SinceCase& c = GetParam();
  const Timestamp later{c.later_ns};
  const Timestamp earlier{c.earlier_ns};
  for (const auto& result : {later.duration_since(earlier), later - earlier}) {
    if (c.expected) {
      ASSERT_TRUE(result.has_value()) << to_string(result.error());
      EXPECT_EQ(*result, *c.expected);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), c.error);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimestampDurationSince,
    ::testing::Values(
        SinceCase{"Equal", 7 * S, 7 * S, Duration{0, 0}},
        SinceCase{"ThreeAndAQuarter", 10 * S, 6 * S + 750'000'000, Duration{3, 250'000'000}},
        SinceCase{"EarlierIsLater", 1, 2, std::nullopt, TimeError::DurationUnderflow},
        SinceCase{"LongestSpan", OVERFLOW_NS - 1, 0, Duration{~std::uint64_t{0}, 999'999'999}},
        SinceCase{"OneNanosecondTooLong", OVERFLOW_NS, 0, std::nullopt,
                  TimeError::DurationOverflow},
        // The bound is on the difference, not on the later stamp itself.
        SinceCase{"LongestSpanFromNonZero", OVERFLOW_NS + 4, 5,
                  Duration{~std::uint64_t{0}, 999'999'999}},
        SinceCase{"TooLongFromNonZero", OVERFLOW_NS + 5, 5, std::nullopt,
                  TimeError::DurationOverflow},
        SinceCase{"WholeRange", ~u128{0}, 0, std::nullopt, TimeError::DurationOverflow}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TimestampCheckedSub, StepsBackOrUnderflows) {
  const Timestamp ten{10 * S};
  EXPECT_EQ(*ten.checked_sub(Duration{3, 250'000'000}), Timestamp{6 * S + 750'000'000});
  EXPECT_EQ(*ten.checked_sub(Duration{10, 0}), Timestamp{0});
  const auto under = ten.checked_sub(Duration{10, 1});
  ASSERT_FALSE(under.has_value());
  EXPECT_EQ(under.error(), TimeError::DurationUnderflow);
  // The longest Duration needs more than 64 bits of nanoseconds.
  const Duration longest{~std::uint64_t{0}, 999'999'999};
  EXPECT_EQ(*Timestamp{OVERFLOW_NS}.checked_sub(longest), Timestamp{1});
  EXPECT_FALSE(Timestamp{OVERFLOW_NS - 2}.checked_sub(longest).has_value());
}

TEST(TimestampSeconds, RoundsTheCountOnceThenDivides) {
  EXPECT_EQ(frames::format_number(Timestamp{2 * S}.to_seconds()), "2");
  EXPECT_EQ(frames::format_number(Timestamp{1 * S + 500'000'000}.to_seconds()), "1.5");
  // 2^53 + 3 rounds to even (2^53 + 4); truncating, or adding seconds and nanoseconds
  // separately, reads ...994.
  EXPECT_EQ(frames::format_number(Timestamp{(u128{1} << 53) + 3}.to_seconds()),
            "9007199.254740996");
  EXPECT_EQ(Timestamp{~u128{0}}.to_seconds(), 3.402823669209385e29);
}

TEST(DurationSeconds, AddsTheFractionToTheSeconds) {
  EXPECT_EQ((Duration{1, 500'000'000}.as_seconds()), 1.5);
  // Dividing the whole count instead would give 1099511627777.0999.
  EXPECT_EQ(frames::format_number((Duration{1099511627777, 100'000'001}).as_seconds()),
            "1099511627777.1");
}

TEST(TimeErrorText, IsTheBareMessage) {
  EXPECT_EQ(to_string(TimeError::DurationUnderflow), "duration underflow");
  EXPECT_EQ(to_string(TimeError::DurationOverflow), "duration overflow");
}

}  // namespace
