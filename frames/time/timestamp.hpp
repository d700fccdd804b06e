#pragma once

// Time points and spans. A Timestamp is an unsigned 128-bit count of nanoseconds since
// an epoch the caller chooses; zero is reserved for static transforms (valid at all
// times). A Duration is whole seconds (64-bit) plus nanoseconds below one second.

#include <compare>
#include <optional>
#include <cstdint>
#include <string>

#include "frames/result.hpp"

namespace frames::time {

__extension__ typedef unsigned __int128 u128;

inline constexpr std::uint64_t NS_PER_SECOND = 1'000'000'000;

enum class TimeError : std::uint8_t { DurationUnderflow, DurationOverflow };

std::string to_string(TimeError error);

struct Duration {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // always below NS_PER_SECOND

  // seconds * 1e9 + nanoseconds; always fits in 128 bits.
  constexpr u128 count_ns() const noexcept { return u128{seconds} * NS_PER_SECOND + nanoseconds; }
  // seconds + nanoseconds / 1e9: the form used for interpolation ratios. Inline: every
  // interpolated link of a lookup takes two.
  double as_seconds() const noexcept {
    return static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9;
  }

  friend constexpr bool operator==(const Duration&, const Duration&) = default;
};

// Whole seconds plus the fraction rounded to the nearest nanosecond, ties to even. Empty
// for a negative or non-finite value and at 2^64 seconds or more; -0.0 is zero.
std::optional<Duration> duration_from_seconds(double seconds) noexcept;

class Timestamp {
 public:
  constexpr Timestamp() noexcept = default;
  constexpr explicit Timestamp(u128 ns) noexcept : ns_(ns) {}

  constexpr u128 ns() const noexcept { return ns_; }
  constexpr bool is_zero() const noexcept { return ns_ == 0; }

  // The count rounded to the nearest double (ties to even), then one division by 1e9.
  double to_seconds() const noexcept;

  // The point `span` before this one, or DurationUnderflow.
  Result<Timestamp, TimeError> checked_sub(Duration span) const noexcept;
  // The span from `earlier` to this point, or DurationUnderflow / DurationOverflow
  // (whole seconds beyond 64 bits).
  Result<Duration, TimeError> duration_since(Timestamp earlier) const noexcept;

  friend constexpr auto operator<=>(Timestamp, Timestamp) noexcept = default;
  friend constexpr bool operator==(Timestamp, Timestamp) noexcept = default;

 private:
  u128 ns_ = 0;
};

// a - b is duration_since(a, b).
inline Result<Duration, TimeError> operator-(Timestamp a, Timestamp b) noexcept {
  return a.duration_since(b);
}

}  // namespace frames::time
