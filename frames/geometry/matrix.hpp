#pragma once

// Matrices as plain values: sixteen or nine doubles, row-major. No invariant; conversions
// to and from rigid motions check rigidity where they are made.

#include <array>
#include <cstddef>

namespace frames::geometry {

// Sixteen doubles, row-major; (row, col) with both in 0..3. A rigid transform holds the
// rotation in the upper-left 3x3 block, the translation in column 3 and 0, 0, 0, 1 in the
// bottom row; it maps the column (px, py, pz, 1) to M times that column.
struct Matrix4 {
  std::array<double, 16> entries{};

  constexpr double& operator()(std::size_t row, std::size_t col) noexcept {
    return entries[row * 4 + col];
  }
  constexpr double operator()(std::size_t row, std::size_t col) const noexcept {
    return entries[row * 4 + col];
  }

  static constexpr Matrix4 identity() noexcept {
    return {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
  }

  friend constexpr bool operator==(const Matrix4&, const Matrix4&) = default;
};

// A 3x3 rotation block, row-major; (row, col) with both in 0..2.
struct Matrix3 {
  std::array<double, 9> entries{};

  constexpr double& operator()(std::size_t row, std::size_t col) noexcept {
    return entries[row * 3 + col];
  }
  constexpr double operator()(std::size_t row, std::size_t col) const noexcept {
    return entries[row * 3 + col];
  }
};

}  // namespace frames::geometry
