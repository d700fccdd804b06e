#pragma once

// Conversions between 4x4 homogeneous matrices, separate pose components and Isometry.
// Rigidity is judged with one tolerance, UNIT_NORM_TOLERANCE (1e-6): a deviation strictly
// greater than it is refused. Everything here is straight-line arithmetic on the stack.

#include "frames/geometry/matrix.hpp"
#include "frames/geometry/quaternion.hpp"
#include "frames/result.hpp"
#include "quilm_tf/buffer.hpp"

namespace quilm_tf {

using frames::geometry::Matrix3;
using frames::geometry::Matrix4;

// A rotation in the order ROS messages carry it: vector part first, scalar last.
struct QuaternionXyzw {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  double w = 1.0;
};

// NonFiniteComponent, then NotRigid (bottom row, orthonormality, determinant). The rotation
// is from_rotation_matrix of the block as it comes out, not renormalised.
Result<Isometry, TransformBufferError> matrix4_to_isometry(const Matrix4& matrix) noexcept;

// The four-branch conversion (trace, then the largest diagonal entry). Never fails; the
// sign of the result is whatever the branch gives.
frames::geometry::Quaternion from_rotation_matrix(const Matrix3& rotation) noexcept;

// Trusts the rotation to be of unit length; the bottom row is exactly 0, 0, 0, 1.
Matrix4 isometry_to_matrix4(const Isometry& isometry) noexcept;

// NonFiniteComponent, then QuaternionNorm when the rotation's length is off by more than
// the tolerance; an accepted rotation is divided by its length.
Result<Isometry, TransformBufferError> isometry_from_components(
    const frames::geometry::Vector3& translation, const QuaternionXyzw& rotation) noexcept;

}  // namespace quilm_tf
