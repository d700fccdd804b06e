#include "quilm_tf/matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "frames/format.hpp"

namespace {

using frames::geometry::Quaternion;
using frames::geometry::Vector3;
using quilm_tf::Isometry;
using quilm_tf::Matrix3;
using quilm_tf::Matrix4;

constexpr double PI = std::numbers::pi;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

Quaternion axis_angle(Vector3 axis, double angle) {
  const double s = std::sin(angle / 2);
  return {std::cos(angle / 2), axis.x * s, axis.y * s, axis.z * s};
}

// The rotation block of a rotation by `angle` about x, written out independently.
Matrix3 rotation_about_x(double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return {{1, 0, 0, 0, c, -s, 0, s, c}};
}

void expect_quaternion_near(const Quaternion& a, const Quaternion& b, double tol) {
  EXPECT_NEAR(a.w, b.w, tol);
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

// "w x y z | tx ty tz" of an accepted pose, else the error text.
std::string text_of(const frames::Result<Isometry, quilm_tf::TransformBufferError>& result) {
  if (!result) return quilm_tf::to_string(result.error());
  const Quaternion& q = result->rotation;
  const Vector3& t = result->translation;
  std::string out;
  for (double v : {q.w, q.x, q.y, q.z}) out += frames::format_number(v) + " ";
  out += "|";
  for (double v : {t.x, t.y, t.z}) out += " " + frames::format_number(v);
  return out;
}

class RotationBranch : public ::testing::TestWithParam<std::tuple<Matrix3, Quaternion>> {};

TEST_P(RotationBranch, GivesTheBranchResultWithItsSign) {
  expect_quaternion_near(quilm_tf::from_rotation_matrix(std::get<0>(GetParam())),
                         std::get<1>(GetParam()), 1e-15);
}

// Half turns hit one branch each; 200 degrees about x takes the x branch and keeps w < 0.
INSTANTIATE_TEST_SUITE_P(
    Branches, RotationBranch,
    ::testing::Values(std::tuple{Matrix3{{1, 0, 0, 0, 1, 0, 0, 0, 1}}, Quaternion{1, 0, 0, 0}},
                      std::tuple{Matrix3{{1, 0, 0, 0, -1, 0, 0, 0, -1}}, Quaternion{0, 1, 0, 0}},
                      std::tuple{Matrix3{{-1, 0, 0, 0, 1, 0, 0, 0, -1}}, Quaternion{0, 0, 1, 0}},
                      std::tuple{Matrix3{{-1, 0, 0, 0, -1, 0, 0, 0, 1}}, Quaternion{0, 0, 0, 1}},
                      std::tuple{Matrix3{{0, -1, 0, 1, 0, 0, 0, 0, 1}},
                                 axis_angle({0, 0, 1}, PI / 2)},
                      std::tuple{rotation_about_x(PI * 200 / 180),
                                 axis_angle({1, 0, 0}, PI * 200 / 180)}));

class RigidRoundTrip : public ::testing::TestWithParam<Isometry> {};

TEST_P(RigidRoundTrip, MatrixActsLikeThePoseAndConvertsBack) {
  const Isometry& pose = GetParam();
  const Matrix4 m = quilm_tf::isometry_to_matrix4(pose);
  const Vector3 p{0.3, -1.7, 2.5};
  const Vector3 rotated = frames::geometry::rotate_vector(pose.rotation, p);
  for (std::size_t r = 0; r < 3; ++r) {
    const double moved = m(r, 0) * p.x + m(r, 1) * p.y + m(r, 2) * p.z + m(r, 3);
    const double expected = (r == 0 ? rotated.x + pose.translation.x
                             : r == 1 ? rotated.y + pose.translation.y
                                      : rotated.z + pose.translation.z);
    EXPECT_NEAR(moved, expected, 1e-12) << "row " << r;
  }

  const auto back = quilm_tf::matrix4_to_isometry(m);
  ASSERT_TRUE(back) << text_of(back);
  const Quaternion& q = back->rotation;
  const double sign = (q.w * pose.rotation.w + q.x * pose.rotation.x + q.y * pose.rotation.y +
                       q.z * pose.rotation.z) < 0 ? -1.0 : 1.0;
  expect_quaternion_near({sign * q.w, sign * q.x, sign * q.y, sign * q.z}, pose.rotation, 1e-12);
  EXPECT_EQ(back->translation, pose.translation);

  const Matrix4 again = quilm_tf::isometry_to_matrix4(*back);
  for (std::size_t i = 0; i < 12; ++i) EXPECT_NEAR(again.entries[i], m.entries[i], 1e-12) << i;
  for (std::size_t c = 0; c < 4; ++c) EXPECT_EQ(again(3, c), c == 3 ? 1.0 : 0.0);
}

std::vector<Isometry> rigid_poses() {
  std::vector<Isometry> poses = {
      {Quaternion{1, 0, 0, 0}, {0, 0, 0}},
      {axis_angle({1, 0, 0}, 1e-9), {1, 2, 3}},
      {axis_angle({0, 0, 1}, PI / 2), {-4, 0.5, 0}},
      {Quaternion{0, 1, 0, 0}, {0, 0, 1}},
      {Quaternion{0, 0, 1, 0}, {0, 1, 0}},
      {Quaternion{0, 0, 0, 1}, {1, 0, 0}},
  };
  std::mt19937 rng(11);
  std::normal_distribution<double> normal;
  for (int i = 0; i < 20; ++i) {
    Quaternion q{normal(rng), normal(rng), normal(rng), normal(rng)};
    const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    const Vector3 t{normal(rng), normal(rng), normal(rng)};
    poses.push_back({{q.w / n, q.x / n, q.y / n, q.z / n}, t});
  }
  return poses;
}

INSTANTIATE_TEST_SUITE_P(Poses, RigidRoundTrip, ::testing::ValuesIn(rigid_poses()));

struct Edit {
  std::size_t row;
  std::size_t col;
  double value;
};

class Rigidity : public ::testing::TestWithParam<std::tuple<std::vector<Edit>, const char*>> {};

TEST_P(Rigidity, JudgesTheIdentityWithEdits) {
  Matrix4 m = Matrix4::identity();
  for (const Edit& e : std::get<0>(GetParam())) m(e.row, e.col) = e.value;
  EXPECT_EQ(text_of(quilm_tf::matrix4_to_isometry(m)), std::get<1>(GetParam()));
}

constexpr const char* NOT_RIGID = "matrix is not a rigid homogeneous transform";
constexpr const char* NON_FINITE = "transform contains a non-finite component";
constexpr const char* IDENTITY = "1 0 0 0 | 0 0 0";

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Rigidity,
    ::testing::Values(
        std::tuple{std::vector<Edit>{{3, 3, 1.000001}}, IDENTITY},
        std::tuple{std::vector<Edit>{{3, 3, 1.0000011}}, NOT_RIGID},
        std::tuple{std::vector<Edit>{{3, 2, 1e-5}}, NOT_RIGID},
        std::tuple{std::vector<Edit>{{3, 0, 1e-6}}, IDENTITY},
        std::tuple{std::vector<Edit>{{3, 1, -2e-6}}, NOT_RIGID},
        // A shear leaves the determinant at 1; its off-diagonal product counts twice, so
        // 7.5e-7 deviates by 1.06e-6 and 7e-7 by 0.99e-6.
        std::tuple{std::vector<Edit>{{0, 1, 7e-7}, {0, 3, 4}}, "1 0 0 -0.000000175 | 4 0 0"},
        std::tuple{std::vector<Edit>{{0, 1, 7.5e-7}}, NOT_RIGID},
        std::tuple{std::vector<Edit>{{2, 2, -1}}, NOT_RIGID},  // reflection
        std::tuple{std::vector<Edit>{{0, 0, 2}, {1, 1, 2}, {2, 2, 2}}, NOT_RIGID},
        std::tuple{std::vector<Edit>{{0, 1, 1e200}}, NOT_RIGID}));  // squares overflow

class NonFiniteEntry : public ::testing::TestWithParam<std::tuple<std::size_t, double>> {};

TEST_P(NonFiniteEntry, IsReportedBeforeRigidity) {
  Matrix4 m = Matrix4::identity();
  m(0, 0) = 2;  // not rigid either: the finiteness test must come first
  m.entries[std::get<0>(GetParam())] = std::get<1>(GetParam());
  EXPECT_EQ(text_of(quilm_tf::matrix4_to_isometry(m)), NON_FINITE);
}

INSTANTIATE_TEST_SUITE_P(EveryEntry, NonFiniteEntry,
                         ::testing::Combine(::testing::Range<std::size_t>(0, 16),
                                            ::testing::Values(NaN, INF, -INF)));

using quilm_tf::QuaternionXyzw;

class Components
    : public ::testing::TestWithParam<std::tuple<Vector3, QuaternionXyzw, const char*>> {};

TEST_P(Components, DivideByTheNormOrRefuse) {
  const auto& [translation, rotation, expected] = GetParam();
  EXPECT_EQ(text_of(quilm_tf::isometry_from_components(translation, rotation)), expected);
}

// Rotations are given x, y, z, w; the result shows w first.
INSTANTIATE_TEST_SUITE_P(
    Norms, Components,
    ::testing::Values(
        std::tuple{Vector3{1, 2, 3}, QuaternionXyzw{0, 0, 0, 1.0000005}, "1 0 0 0 | 1 2 3"},
        std::tuple{Vector3{}, QuaternionXyzw{1, 0, 0, 0}, "0 1 0 0 | 0 0 0"},
        std::tuple{Vector3{}, QuaternionXyzw{0, 0, 0, 1.000001}, IDENTITY},
        std::tuple{Vector3{}, QuaternionXyzw{0, 0, 0, 1.0000011},
                   "transform quaternion has norm 1.0000011, expected 1"},
        std::tuple{Vector3{}, QuaternionXyzw{0, 0, 0, 0},
                   "transform quaternion has norm 0, expected 1"},
        std::tuple{Vector3{}, QuaternionXyzw{0, 0, 0, 2},
                   "transform quaternion has norm 2, expected 1"},
        std::tuple{Vector3{}, QuaternionXyzw{1e200, 0, 0, 0},
                   "transform quaternion has norm inf, expected 1"},
        std::tuple{Vector3{}, QuaternionXyzw{0, INF, 0, 0}, NON_FINITE},
        std::tuple{Vector3{}, QuaternionXyzw{0, 0, 0, NaN}, NON_FINITE},
        std::tuple{Vector3{0, NaN, 0}, QuaternionXyzw{0, 0, 0, 5}, NON_FINITE}));

}  // namespace
