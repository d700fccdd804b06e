// libFuzzer harness for the matrix conversion (the component one is a unit test's table).
// Matrices are either arbitrary doubles or exact rigid matrices, some nudged by a few
// tolerances in one entry, so both sides of every rigidity test are reached. Checked:
//
// - a matrix clearly inside every tolerance is accepted and one clearly outside refused
//   (the margin of 10% keeps the check off the last bits of the summation order);
// - an accepted matrix gives a pose whose matrix is the input within 1e-5, with a rotation
//   of length 1 within 1e-5: for a block whose columns are orthonormal within e, the
//   four-branch conversion is off by a small multiple of e, and e is at most 1e-6;
// - an exact rigid matrix comes back as its own quaternion (up to sign) and translation.

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_driver.hpp"
#include "quilm_tf/matrix.hpp"

namespace {

using fuzz::fail;
using fuzz::number;
using quilm_tf::Matrix4;

constexpr double INSIDE = 0.9e-6;  // the tolerance is 1e-6
constexpr double OUTSIDE = 1.1e-6;

std::string text(const Matrix4& m) {
  std::string out;
  char entry[32];
  for (double e : m.entries) out.append(entry, std::snprintf(entry, sizeof entry, "%.17g ", e));
  return out;
}

// The exact rotation matrix of a unit quaternion, from the textbook formula.
Matrix4 rigid(const Quaternion& q, const Vector3& t) {
  const auto [w, x, y, z] = q;
  Matrix4 m = Matrix4::identity();
  m(0, 0) = 1 - 2 * (y * y + z * z), m(0, 1) = 2 * (x * y - z * w), m(0, 2) = 2 * (x * z + y * w);
  m(1, 0) = 2 * (x * y + z * w), m(1, 1) = 1 - 2 * (x * x + z * z), m(1, 2) = 2 * (y * z - x * w);
  m(2, 0) = 2 * (x * z - y * w), m(2, 1) = 2 * (y * z + x * w), m(2, 2) = 1 - 2 * (x * x + y * y);
  m(0, 3) = t.x, m(1, 3) = t.y, m(2, 3) = t.z;
  return m;
}

// How far the matrix is from rigid, the worst of the three tests (bottom row, RᵀR - I,
// determinant); NaN when it cannot be told.
double distance(const Matrix4& m) {
  double squares = 0;
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      const double dot = m(0, a) * m(0, b) + m(1, a) * m(1, b) + m(2, a) * m(2, b) - (a == b);
      squares += dot * dot;
    }
  }
  const double det = m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) -
                     m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
                     m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
  const double worst = std::max({std::abs(m(3, 0)), std::abs(m(3, 1)), std::abs(m(3, 2)),
                                 std::abs(m(3, 3) - 1), std::sqrt(squares), std::abs(det - 1)});
  return std::isfinite(squares) && std::isfinite(det) ? worst : NAN;
}

void check_matrix(FuzzedDataProvider& in) {
  Matrix4 m;
  bool exact = !in.ConsumeBool();
  const Quaternion q =
      exact ? fuzz::unit({number(in), number(in), number(in), number(in)}) : Quaternion{};
  if (exact) {
    m = rigid(q, {number(in), number(in), number(in)});
    if (in.ConsumeBool()) {  // nudge one entry by up to two tolerances either way
      m.entries[in.ConsumeIntegralInRange(0, 15)] += in.ConsumeIntegralInRange(-20, 20) * 1e-7;
      exact = false;
    }
  } else {
    for (double& entry : m.entries) entry = number(in);
  }
  const bool finite =
      std::all_of(m.entries.begin(), m.entries.end(), [](double e) { return std::isfinite(e); });
  const auto result = quilm_tf::matrix4_to_isometry(m);
  if (!result) {
    if (finite && (distance(m) <= INSIDE || exact)) fail("a rigid matrix was refused", text(m));
    return;
  }
  if (!finite) fail("a non-finite matrix was accepted", text(m));
  if (!(distance(m) <= OUTSIDE)) fail("a matrix well outside the tolerances was accepted", text(m));
  const Quaternion& r = result->rotation;
  if (!(std::abs(fuzz::length(r) - 1) <= 1e-5) ||
      result->translation != Vector3{m(0, 3), m(1, 3), m(2, 3)}) {
    fail("the rotation is far from unit length or the translation changed", text(m));
  }
  const Matrix4 back = quilm_tf::isometry_to_matrix4(*result);
  for (int i = 0; i < 16; ++i) {
    const double want = i >= 12 ? (i == 15) : m.entries[i];
    if (i >= 12 ? back.entries[i] != want : std::abs(back.entries[i] - want) > 1e-5) {
      fail("the pose does not give the matrix back", text(m) + "\n" + text(back));
    }
  }
  if (exact && std::abs(std::abs(r.w * q.w + r.x * q.x + r.y * q.y + r.z * q.z) - 1) > 1e-12) {
    fail("an exact rigid matrix changed rotation", text(m));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::drive(data, size, 1 << 20, check_matrix);
  return 0;
}
