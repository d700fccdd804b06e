#include "frames/time/timestamp.hpp"

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

}  // namespace frames::time
