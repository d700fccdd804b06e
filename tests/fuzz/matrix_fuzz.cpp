// libFuzzer harness for the matrix and component conversions. Inputs are either arbitrary
// doubles or exact rigid matrices nudged by a few tolerances in one entry, so both sides
// of every rigidity test are reached. Checked:
//
// - a matrix clearly inside every tolerance is accepted and one clearly outside refused
//   (the margin of 10% keeps the check off the last bits of the summation order);
// - an accepted matrix gives a finite pose whose matrix is the input within 1e-5, with a
//   rotation of length 1 within 1e-5: for a block whose columns are orthonormal within e,
//   the four-branch conversion is off by a small multiple of e, and e is at most 1e-6;
// - an exact rigid matrix comes back as its own quaternion (up to sign) and translation;
// - components are accepted exactly when finite with a length within the tolerance, and
//   then come back finite, unit within 1e-12 and with the translation unchanged.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "quilm_tf/matrix.hpp"

namespace {

using frames::geometry::Quaternion;
using frames::geometry::Vector3;
using quilm_tf::Isometry;
using quilm_tf::Matrix4;

constexpr double TOLERANCE = 1e-6;
constexpr double INSIDE = 0.9 * TOLERANCE;
constexpr double OUTSIDE = 1.1 * TOLERANCE;

[[noreturn]] void fail(const char* what, const Matrix4& m) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  for (int r = 0; r < 4; ++r) {
    std::fprintf(stderr, "  %.17g %.17g %.17g %.17g\n", m(r, 0), m(r, 1), m(r, 2), m(r, 3));
  }
  std::abort();
}

double number(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return in.ConsumeBool() ? 1e300 : -1e300;
    case 2: return std::numeric_limits<double>::infinity();
    case 3: return in.ConsumeFloatingPoint<double>();
    default: return in.ConsumeFloatingPointInRange(-2.0, 2.0);
  }
}

double length(const Quaternion& q) { return std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z); }

// The exact rotation matrix of a unit quaternion, from the textbook formula.
Matrix4 rigid(const Quaternion& q, const Vector3& t) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  Matrix4 m = Matrix4::identity();
  m(0, 0) = 1 - 2 * (y * y + z * z), m(0, 1) = 2 * (x * y - z * w), m(0, 2) = 2 * (x * z + y * w);
  m(1, 0) = 2 * (x * y + z * w), m(1, 1) = 1 - 2 * (x * x + z * z), m(1, 2) = 2 * (y * z - x * w);
  m(2, 0) = 2 * (x * z - y * w), m(2, 1) = 2 * (y * z + x * w), m(2, 2) = 1 - 2 * (x * x + y * y);
  m(0, 3) = t.x, m(1, 3) = t.y, m(2, 3) = t.z;
  return m;
}

// How far the matrix is from rigid, by each of the three tests; NaN counts as far.
struct Distance {
  double bottom, orthonormal, determinant;
  bool inside() const {
    return bottom <= INSIDE && orthonormal <= INSIDE && determinant <= INSIDE;
  }
  bool outside() const {
    return !(bottom <= OUTSIDE && orthonormal <= OUTSIDE && determinant <= OUTSIDE);
  }
};

Distance distance(const Matrix4& m) {
  double bottom = std::max({std::abs(m(3, 0)), std::abs(m(3, 1)), std::abs(m(3, 2)),
                            std::abs(m(3, 3) - 1)});
  double squares = 0;
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      double dot = 0;
      for (int r = 0; r < 3; ++r) dot += m(r, a) * m(r, b);
      const double entry = dot - (a == b ? 1 : 0);
      squares += entry * entry;
    }
  }
  const double det = m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) -
                     m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
                     m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
  return {bottom, std::sqrt(squares), std::abs(det - 1)};
}

void check_matrix(FuzzedDataProvider& in) {
  Matrix4 m;
  bool exact = false;
  Quaternion q;
  if (in.ConsumeBool()) {
    for (double& entry : m.entries) entry = number(in);
  } else {
    const Quaternion raw{number(in), number(in), number(in), number(in)};
    const double n = length(raw);
    q = n > 1e-150 && n < 1e150 ? Quaternion{raw.w / n, raw.x / n, raw.y / n, raw.z / n}
                                : Quaternion{};
    m = rigid(q, {number(in), number(in), number(in)});
    exact = true;
    if (in.ConsumeBool()) {  // nudge one entry by up to two tolerances either way
      m.entries[in.ConsumeIntegralInRange(0, 15)] +=
          static_cast<double>(in.ConsumeIntegralInRange(-20, 20)) * 1e-7;
      exact = false;
    }
  }
  const bool finite = std::all_of(m.entries.begin(), m.entries.end(),
                                  [](double e) { return std::isfinite(e); });
  const auto result = quilm_tf::matrix4_to_isometry(m);
  if (!result) {
    const Distance d = distance(m);
    if (finite && d.inside()) fail("a matrix well inside the tolerances was refused", m);
    if (exact && finite) fail("an exact rigid matrix was refused", m);
    return;
  }
  if (!finite) fail("a non-finite matrix was accepted", m);
  if (distance(m).outside()) fail("a matrix well outside the tolerances was accepted", m);
  const Isometry& iso = *result;
  const Quaternion& r = iso.rotation;
  if (!std::isfinite(length(r)) || std::abs(length(r) - 1) > 1e-5) {
    fail("an accepted matrix gave a rotation far from unit length", m);
  }
  if (iso.translation != Vector3{m(0, 3), m(1, 3), m(2, 3)}) fail("translation changed", m);
  const Matrix4 back = quilm_tf::isometry_to_matrix4(iso);
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      if (std::abs(back(row, col) - m(row, col)) > 1e-5) fail("the pose does not give the matrix back", m);
    }
  }
  if (back(3, 0) != 0 || back(3, 1) != 0 || back(3, 2) != 0 || back(3, 3) != 1) {
    fail("the bottom row is not exact", m);
  }
  if (exact) {
    const double dot = r.w * q.w + r.x * q.x + r.y * q.y + r.z * q.z;
    if (std::abs(std::abs(dot) - 1) > 1e-12) fail("an exact rigid matrix changed rotation", m);
  }
}

void check_components(FuzzedDataProvider& in) {
  const Vector3 t{number(in), number(in), number(in)};
  quilm_tf::QuaternionXyzw q{number(in), number(in), number(in), number(in)};
  if (in.ConsumeBool()) {  // scale onto, or just beside, the unit sphere
    const double n = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    const double scale = 1 + static_cast<double>(in.ConsumeIntegralInRange(-20, 20)) * 1e-7;
    if (n > 1e-150 && n < 1e150) q = {q.x / n * scale, q.y / n * scale, q.z / n * scale, q.w / n * scale};
  }
  const double values[] = {t.x, t.y, t.z, q.x, q.y, q.z, q.w};
  const bool finite =
      std::all_of(std::begin(values), std::end(values), [](double v) { return std::isfinite(v); });
  const double off = std::abs(std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z) - 1);
  const auto result = quilm_tf::isometry_from_components(t, q);
  Matrix4 shown = Matrix4::identity();
  shown(0, 0) = q.x, shown(0, 1) = q.y, shown(0, 2) = q.z, shown(0, 3) = q.w;
  shown(1, 0) = t.x, shown(1, 1) = t.y, shown(1, 2) = t.z;
  if (!result) {
    if (finite && off <= INSIDE) fail("components well inside the tolerance were refused", shown);
    return;
  }
  if (!finite) fail("non-finite components were accepted", shown);
  if (!(off <= OUTSIDE)) fail("components well outside the tolerance were accepted", shown);
  if (std::abs(length(result->rotation) - 1) > 1e-12) fail("accepted rotation not unit", shown);
  if (result->translation != t) fail("translation changed", shown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  while (in.remaining_bytes() > 0) {
    if (in.ConsumeBool()) {
      check_matrix(in);
    } else {
      check_components(in);
    }
  }
  return 0;
}
