#include "quilm_tf/matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frames/format.hpp"

namespace quilm_tf {
namespace {

using frames::geometry::Quaternion;
using frames::geometry::Vector3;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double TURN_200 = std::numbers::pi * 200 / 180;
constexpr const char* NOT_RIGID = "matrix is not a rigid homogeneous transform";
constexpr const char* NON_FINITE = "transform contains a non-finite component";
constexpr const char* IDENTITY = "1 0 0 0 | 0 0 0";

Quaternion axis_angle(Vector3 axis, double angle) {
  const double s = std::sin(angle / 2) / std::hypot(axis.x, axis.y, axis.z);
  return {std::cos(angle / 2), axis.x * s, axis.y * s, axis.z * s};
}

// "w x y z | tx ty tz" of an accepted pose, else the error text.
std::string text_of(const frames::Result<Isometry, TransformBufferError>& result) {
  if (!result) return to_string(result.error());
  const Quaternion& q = result->rotation;
  const Vector3& t = result->translation;
  std::string out;
  for (double v : {q.w, q.x, q.y, q.z}) out += frames::format_number(v) + " ";
  out += "|";
  for (double v : {t.x, t.y, t.z}) out += " " + frames::format_number(v);
  return out;
}

// The turns by 200 degrees (w < 0) have axes whose largest component picks the x, y and z
// branch of the conversion, the last with r00 > r11 and r11 near r22; each branch keeps its
// own sign, which here is the sign the pose was given.
TEST(RigidMatrix, ActsLikeThePoseAndConvertsBackThroughEachBranch) {
  for (const Isometry& pose : {
           Isometry{Quaternion{1, 0, 0, 0}, {0, 0, 0}},
           Isometry{axis_angle({1, 0, 0}, 1e-9), {1, 2, 3}},
           Isometry{axis_angle({1, 2, -3}, 1.0), {-4, 0.5, 0}},
           Isometry{axis_angle({3, -1, -2}, TURN_200), {0, 0, 1}},
           Isometry{axis_angle({-1, 3, -2}, TURN_200), {0, 1, 0}},
           Isometry{axis_angle({-6, -5, 7}, TURN_200), {1, 0, 0}},
       }) {
    const Matrix4 m = isometry_to_matrix4(pose);
    const Vector3 p{0.3, -1.7, 2.5};
    const Vector3 r = frames::geometry::rotate_vector(pose.rotation, p);
    const Vector3& t = pose.translation;
    const double moved[] = {r.x + t.x, r.y + t.y, r.z + t.z};
    for (std::size_t row = 0; row < 3; ++row) {
      EXPECT_NEAR(m(row, 0) * p.x + m(row, 1) * p.y + m(row, 2) * p.z + m(row, 3), moved[row],
                  1e-12);
    }

    const auto back = matrix4_to_isometry(m);
    ASSERT_TRUE(back) << text_of(back);
    const Quaternion& q = back->rotation;
    for (const auto& [got, want] : {std::pair{q.w, pose.rotation.w}, {q.x, pose.rotation.x},
                                    {q.y, pose.rotation.y}, {q.z, pose.rotation.z}}) {
      EXPECT_NEAR(got, want, 1e-14) << text_of(back);
    }
    EXPECT_EQ(back->translation, pose.translation);
  }
}

TEST(MatrixToIsometry, JudgesRigidityWithOneTolerance) {
  struct Edit {
    std::size_t row, col;
    double value;
  };
  for (const auto& [edits, expected] : std::vector<std::pair<std::vector<Edit>, const char*>>{
           {{{3, 0, 1e-6}}, IDENTITY},
           {{{3, 0, -1.1e-6}}, NOT_RIGID},
           {{{3, 1, 1.1e-6}}, NOT_RIGID},
           {{{3, 2, 1.1e-6}}, NOT_RIGID},
           {{{3, 3, 1.000001}}, IDENTITY},
           {{{3, 3, 1.0000011}}, NOT_RIGID},
           {{{3, 3, 0.9999989}}, NOT_RIGID},
           // A shear leaves the determinant at 1; its off-diagonal product counts twice, so
           // 7e-7 deviates by 0.99e-6 and 7.5e-7 by 1.06e-6. The block is kept as it is.
           {{{0, 1, 7e-7}, {0, 3, 4}}, "1 0 0 -0.000000175 | 4 0 0"},
           {{{0, 1, 7.5e-7}}, NOT_RIGID},
           {{{1, 1, 1.000001}}, NOT_RIGID},  // determinant within, squared length 2e-6 off
           {{{2, 2, -1}}, NOT_RIGID},        // a reflection
           {{{0, 1, 1e200}}, NOT_RIGID},     // squares overflow
       }) {
    Matrix4 m = Matrix4::identity();
    for (const Edit& e : edits) m(e.row, e.col) = e.value;
    EXPECT_EQ(text_of(matrix4_to_isometry(m)), expected) << edits[0].row << edits[0].col;
  }
}

TEST(MatrixToIsometry, ReportsANonFiniteEntryBeforeRigidity) {
  for (std::size_t i = 0; i < 16; ++i) {
    for (const double bad : {NaN, INF, -INF}) {
      Matrix4 m = Matrix4::identity();
      m(0, 0) = 2;  // not rigid either
      m.entries[i] = bad;
      EXPECT_EQ(text_of(matrix4_to_isometry(m)), NON_FINITE) << i;
    }
  }
}

// Rotations are given x, y, z, w; the result shows w first.
TEST(IsometryFromComponents, DividesByTheNormOrRefuses) {
  for (const auto& [translation, rotation, expected] : {
           std::tuple{Vector3{1, 2, 3}, QuaternionXyzw{0, 0, 0, 1.0000005}, "1 0 0 0 | 1 2 3"},
           {Vector3{}, QuaternionXyzw{1, 0, 0, 0}, "0 1 0 0 | 0 0 0"},
           {Vector3{}, QuaternionXyzw{0, 0, 0, 1.000001}, IDENTITY},
           {Vector3{}, QuaternionXyzw{0, 0, 0, 1.0000011},
            "transform quaternion has norm 1.0000011, expected 1"},
           {Vector3{}, QuaternionXyzw{0, 0, 0, 0}, "transform quaternion has norm 0, expected 1"},
           {Vector3{}, QuaternionXyzw{0, INF, 0, 0}, NON_FINITE},
           {Vector3{}, QuaternionXyzw{0, 0, 0, NaN}, NON_FINITE},
           {Vector3{0, NaN, 0}, QuaternionXyzw{0, 0, 0, 5}, NON_FINITE},
       }) {
    EXPECT_EQ(text_of(isometry_from_components(translation, rotation)), expected);
  }
}

}  // namespace
}  // namespace quilm_tf
