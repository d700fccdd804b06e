#include "frames/time/timestamp.hpp"

#include <cmath>

namespace frames::time {

namespace {

// A span whose whole seconds need more than 64 bits cannot be a Duration.
constexpr u128 DURATION_LIMIT_NS = u128{NS_PER_SECOND} << 64;

}  // namespace

std::string to_string(TimeError error) {
  switch (error) {
    case TimeError::DurationUnderflow:
      return "duration underflow";
    case TimeError::DurationOverflow:
      return "duration overflow";
  }
  return {};
}

double Timestamp::to_seconds() const noexcept {
  // One rounding from the integer, one from the division; never through seconds + ns.
  return static_cast<double>(ns_) / 1e9;
}

Result<Timestamp, TimeError> Timestamp::checked_sub(Duration span) const noexcept {
  const u128 span_ns = span.count_ns();
  if (ns_ < span_ns) return Unexpected{TimeError::DurationUnderflow};
  return Timestamp{ns_ - span_ns};
}

Result<Duration, TimeError> Timestamp::duration_since(Timestamp earlier) const noexcept {
  if (ns_ < earlier.ns_) return Unexpected{TimeError::DurationUnderflow};
  const u128 diff = ns_ - earlier.ns_;
  if (diff >= DURATION_LIMIT_NS) return Unexpected{TimeError::DurationOverflow};
  return Duration{static_cast<std::uint64_t>(diff / NS_PER_SECOND),
                  static_cast<std::uint32_t>(diff % NS_PER_SECOND)};
}

// Worked out exactly from the double's binary digits: multiplying the fraction by 1e9 in
// doubles could round a value just off a tie onto it.
std::optional<Duration> duration_from_seconds(double seconds) noexcept {
  if (!(seconds >= 0.0) || seconds >= 18446744073709551616.0) {
    return std::nullopt;
  }
  int exponent = 0;
  const double fraction = std::frexp(seconds, &exponent);
  if (fraction == 0.0) {
    return Duration{};
  }
  // seconds == mantissa * 2^-shift exactly.
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int shift = 53 - exponent;
  if (shift <= 0) {
    return Duration{mantissa << -shift, 0};  // integral, and below 2^64 by the test above
  }
  if (shift > 98) {
    return Duration{};  // below 2^-45 s: far from half a nanosecond
  }
  const u128 one = 1;
  const u128 low_mask = (one << shift) - 1;
  const std::uint64_t whole = shift < 64 ? mantissa >> shift : 0;
  const u128 scaled = (u128{mantissa} & low_mask) * NS_PER_SECOND;
  auto nanoseconds = static_cast<std::uint64_t>(scaled >> shift);
  const u128 remainder = scaled & low_mask;
  const u128 half = one << (shift - 1);
  if (remainder > half || (remainder == half && (nanoseconds & 1) == 1)) {
    ++nanoseconds;
  }
  if (nanoseconds == NS_PER_SECOND) {
    return Duration{whole + 1, 0};
  }
  return Duration{whole, static_cast<std::uint32_t>(nanoseconds)};
}

}  // namespace frames::time
