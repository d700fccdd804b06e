#include "quilm_tf/matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frames/format.hpp"

namespace quilm_tf {
namespace {

using frames::geometry::Vector3;

constexpr const char* NOT_RIGID = "matrix is not a rigid homogeneous transform";
constexpr const char* NON_FINITE = "transform contains a non-finite component";
constexpr const char* IDENTITY = "1 0 0 0 | 0 0 0";

// "w x y z | tx ty tz" of an accepted pose, else the error text.
std::string text_of(const frames::Result<Isometry, TransformBufferError>& result) {
  if (!result) return to_string(result.error());
  std::string out;
  const auto& [q, t] = *result;
  for (double v : {q.w, q.x, q.y, q.z}) out += frames::format_number(v) + " ";
  out += "|";
  for (double v : {t.x, t.y, t.z}) out += " " + frames::format_number(v);
  return out;
}

// The conversion's laws (each branch gives the matrix's own rotation back, the matrix acts
// like the pose) are the fuzzer's, over exact and nudged rigid matrices. Here: one
// tolerance on every test: the bottom row, the columns' orthonormality (a shear keeps
// the determinant at 1 and its off-diagonal product counts twice, so 7e-7 deviates by
// 0.99e-6 and 7.5e-7 by 1.06e-6; the block is kept as it is), the determinant; a NaN or
// infinity in any entry is reported first.
TEST(MatrixToIsometry, JudgesRigidityWithOneToleranceAfterFiniteness) {
  using Edits = std::vector<std::tuple<std::size_t, std::size_t, double>>;
  std::vector<std::pair<Edits, std::string>> cases = {
      {{{3, 0, 1e-6}}, IDENTITY},       {{{3, 0, -1.1e-6}}, NOT_RIGID},
      {{{3, 1, 1.1e-6}}, NOT_RIGID},    {{{3, 2, 1.1e-6}}, NOT_RIGID},
      {{{3, 3, 1.000001}}, IDENTITY},   {{{3, 3, 1.0000011}}, NOT_RIGID},
      {{{3, 3, 0.9999989}}, NOT_RIGID}, {{{0, 1, 7.5e-7}}, NOT_RIGID},
      {{{1, 1, 1.000001}}, NOT_RIGID},  {{{2, 2, -1}}, NOT_RIGID},  // a reflection
      {{{0, 1, 1e200}}, NOT_RIGID},                                 // squares overflow
      {{{0, 1, 7e-7}, {0, 3, 4}}, "1 0 0 -0.000000175 | 4 0 0"}};
  for (std::size_t i = 0; i < 16; ++i) {
    for (const double bad : {NAN, INFINITY, -INFINITY}) {
      cases.push_back({{{0, 0, 2}, {i / 4, i % 4, bad}}, NON_FINITE});  // not rigid either
    }
  }
  for (const auto& [edits, expected] : cases) {
    Matrix4 m = Matrix4::identity();
    for (const auto& [row, col, value] : edits) m(row, col) = value;
    const auto& [row, col, value] = edits.back();
    EXPECT_EQ(text_of(matrix4_to_isometry(m)), expected) << row << col << " " << value;
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
           {Vector3{}, QuaternionXyzw{0, INFINITY, 0, 0}, NON_FINITE},
           {Vector3{}, QuaternionXyzw{0, 0, 0, NAN}, NON_FINITE},
           {Vector3{0, NAN, 0}, QuaternionXyzw{0, 0, 0, 5}, NON_FINITE},
       }) {
    EXPECT_EQ(text_of(isometry_from_components(translation, rotation)), expected);
  }
}

}  // namespace
}  // namespace quilm_tf
