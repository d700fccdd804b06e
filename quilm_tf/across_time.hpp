#pragma once

// Where something seen in one frame at one time lies in another frame at another time, by
// way of a frame assumed not to move between the two times (the world, odometry):
// to_T_from(t) = to_T_fixed(to_stamp) * fixed_T_from(t). One object answers many times t
// against one read-locked service, the second factor looked up once.

#include <optional>
#include <string_view>

#include "frames/result.hpp"
#include "quilm_tf/buffer.hpp"
#include "quilm_tf/matrix.hpp"

namespace quilm_tf {

// a_T_b * b_T_c for rigid matrices. Entry (r, c) of the top three rows is summed from zero,
// k in order: (((0 + a(r,0) b(0,c)) + a(r,1) b(1,c)) + a(r,2) b(2,c)) + a(r,3) b(3,c); the
// bottom row is exactly 0, 0, 0, 1.
Matrix4 compose_rigid(const Matrix4& a_T_b, const Matrix4& b_T_c) noexcept;

class AcrossTime {
 public:
  // Borrows the service and the names, which must stay unchanged (the service read-locked)
  // while it is used.
  AcrossTime(const TransformBuffer& service, std::string_view from, std::string_view to,
             std::string_view fixed, u128 to_stamp_ns);

  // compose_rigid(lookup_ns(fixed, to, to_stamp_ns), lookup_ns(from, fixed, from_stamp_ns)).
  // Errors in that order of asking: the lookup at from_stamp_ns first, then the one at
  // to_stamp_ns. Times near the last one asked are the cheapest.
  Result<Matrix4, TransformBufferError> matrix_at_ns(u128 from_stamp_ns);

 private:
  const TransformBuffer& service_;
  std::string_view fixed_;
  std::string_view to_;
  u128 to_stamp_ns_;
  BatchLookup from_lookups_;
  std::optional<Matrix4> to_T_fixed_;
};

}  // namespace quilm_tf
