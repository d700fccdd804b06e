#pragma once

// What the libFuzzer harnesses share: the loop that reads operations from the input, the
// report of a broken invariant (an abort, which libFuzzer reports as a crash and saves the
// input of), and the values drawn from the input.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "frames/geometry/quaternion.hpp"

using frames::geometry::Quaternion;
using frames::geometry::Vector3;

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// Calls step(in) until the input is used up or `max_steps` calls ran; each step reads the
// operation it performs and its arguments.
template <class Step>
void drive(const std::uint8_t* data, std::size_t size, int max_steps, Step&& step) {
  FuzzedDataProvider in(data, size);
  for (int i = 0; i < max_steps && in.remaining_bytes() > 0; ++i) step(in);
}

// Zero, NaN, the infinities, huge values, any double, or (mostly) a small multiple of 1/4.
inline double number(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return 0.0;
    case 1: return std::numeric_limits<double>::quiet_NaN();
    case 2: return in.ConsumeBool() ? INFINITY : -INFINITY;
    case 3: {  // overflows once composed; 2^512 is the largest a search-only answer trusts
      constexpr double LARGE[] = {1e300, -1e300, 0x1p512, -0x1p512};
      return LARGE[in.ConsumeIntegralInRange(0, 3)];
    }
    case 4: return in.ConsumeFloatingPoint<double>();
    default: return static_cast<double>(in.ConsumeIntegralInRange(-8, 8)) * 0.25;
  }
}

inline double length(const Quaternion& q) {
  return std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
}
inline double length(const Vector3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

// q scaled by `scale / |q|`, or the identity when q has no usable length.
inline Quaternion unit(const Quaternion& q, double scale = 1) {
  const double k = scale / length(q);
  return length(q) > 1e-150 && length(q) < 1e150 ? Quaternion{q.w * k, q.x * k, q.y * k, q.z * k}
                                                 : Quaternion{};
}

}  // namespace fuzz
