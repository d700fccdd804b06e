#include "frames/time/timestamp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <tuple>

#include "frames/format.hpp"

namespace frames::time {
namespace {

constexpr u128 S = 1'000'000'000;
// The first span whose whole seconds no longer fit in 64 bits.
constexpr u128 OVERFLOW_NS = S << 64;
constexpr Duration LONGEST{~std::uint64_t{0}, 999'999'999};

TEST(TimestampDurationSince, SplitsTheDifferenceOrFails) {
  // The last case: the bound is on the difference, not on the later stamp itself.
  for (const auto& [later_ns, earlier_ns, expected, error] :
       {std::tuple{10 * S, 6 * S + 750'000'000, Duration{3, 250'000'000}, ""},
        {u128{1}, u128{2}, Duration{}, "duration underflow"},
        {OVERFLOW_NS - 1, u128{0}, LONGEST, ""},
        {OVERFLOW_NS, u128{0}, Duration{}, "duration overflow"},
        {OVERFLOW_NS + 4, u128{5}, LONGEST, ""}}) {
    for (const auto& result : {Timestamp{later_ns}.duration_since(Timestamp{earlier_ns}),
                               Timestamp{later_ns} - Timestamp{earlier_ns}}) {
      EXPECT_EQ(result ? "" : to_string(result.error()), error);
      EXPECT_EQ(result ? *result : Duration{}, expected);
    }
  }
}

TEST(TimestampCheckedSub, StepsBackToZeroButNotBelow) {
  const auto back = [](u128 stamp_ns, Duration span) -> std::optional<Timestamp> {
    const auto result = Timestamp{stamp_ns}.checked_sub(span);
    return result ? std::optional{*result} : std::nullopt;
  };
  EXPECT_EQ(back(10 * S, {3, 250'000'000}), Timestamp{6 * S + 750'000'000});
  EXPECT_EQ(back(10 * S, {10, 0}), Timestamp{0});
  EXPECT_EQ(back(10 * S, {10, 1}), std::nullopt);
  // The longest Duration needs more than 64 bits of nanoseconds.
  EXPECT_EQ(back(OVERFLOW_NS, LONGEST), Timestamp{1});
}

TEST(TimestampSeconds, RoundsTheCountOnceThenDivides) {
  // 2^53 + 3 rounds to even (2^53 + 4); truncating, or adding seconds and nanoseconds
  // separately, reads ...994.
  EXPECT_EQ(format_number(Timestamp{(u128{1} << 53) + 3}.to_seconds()), "9007199.254740996");
  EXPECT_EQ(Timestamp{~u128{0}}.to_seconds(), 3.402823669209385e29);
  // A Duration adds the fraction to the seconds: dividing the whole count would give
  // 1099511627777.0999.
  EXPECT_EQ(format_number((Duration{1099511627777, 100'000'001}).as_seconds()), "1099511627777.1");
}

TEST(DurationFromSeconds, RoundsToTheNearestNanosecondTiesToEvenOrRefuses) {
  // The doubles nearest 1.5e-9 and 2.5e-9 lie just below and above the ties; 1/1024 s and
  // 3/1024 s are exact ties; 2^64 - 2048 is the largest double below the limit.
  for (const auto& [seconds, expected] :
       {std::pair{1.5e-9, std::optional{Duration{0, 1}}},
        {2.5e-9, Duration{0, 3}},
        {1.0 / 1024, Duration{0, 976'562}},
        {3.0 / 1024, Duration{0, 2'929'688}},
        {1 + 1.0 / 1024, Duration{1, 976'562}},
        {1 - 0x1p-53, Duration{1, 0}},
        {-0.0, Duration{}},
        {0x1p64 - 2048, Duration{~std::uint64_t{0} - 2047, 0}},
        {0x1p64, std::optional<Duration>{}},
        {-1e-300, std::optional<Duration>{}},
        {std::nan(""), std::optional<Duration>{}},
        {INFINITY, std::optional<Duration>{}}}) {
    EXPECT_EQ(duration_from_seconds(seconds), expected) << seconds;
  }
}

}  // namespace
}  // namespace frames::time
