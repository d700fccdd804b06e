#include "quilm_tf/across_time.hpp"

namespace quilm_tf {

Matrix4 compose_rigid(const Matrix4& a_T_b, const Matrix4& b_T_c) noexcept {
  Matrix4 a_T_c = Matrix4::identity();
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      // Starting from +0 rather than the first product turns a lone -0 product into +0,
      // as a running sum from zero does.
      double sum = 0.0;
      for (std::size_t k = 0; k < 4; ++k) sum = sum + a_T_b(r, k) * b_T_c(k, c);
      a_T_c(r, c) = sum;
    }
  }
  return a_T_c;
}

AcrossTime::AcrossTime(const TransformBuffer& service, std::string_view from,
                       std::string_view to, std::string_view fixed, u128 to_stamp_ns)
    : service_(service),
      fixed_(fixed),
      to_(to),
      to_stamp_ns_(to_stamp_ns),
      from_lookups_(service, from, fixed) {}

Result<Matrix4, TransformBufferError> AcrossTime::matrix_at_ns(u128 from_stamp_ns) {
  auto fixed_T_from = from_lookups_.lookup_ns(from_stamp_ns);
  if (!fixed_T_from) return Unexpected{std::move(fixed_T_from).error()};
  if (!to_T_fixed_) {
    auto found = service_.lookup_ns(fixed_, to_, to_stamp_ns_);
    if (!found) return Unexpected{std::move(found).error()};
    to_T_fixed_ = isometry_to_matrix4(*found);
  }
  return compose_rigid(*to_T_fixed_, isometry_to_matrix4(*fixed_T_from));
}

}  // namespace quilm_tf
