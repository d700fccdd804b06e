#pragma once

// The point transform kernel: p' = R p + t over records of three coordinates. Each output
// coordinate is computed in double and summed left to right,
// ((R[r,0] x + R[r,1] y) + R[r,2] z) + t[r], so that numpy reproduces it bit for bit; the
// vector paths keep that order and use no fused multiply-add, so every path gives the same
// bits as the scalar one. Records are read and written through byte offsets, so they need
// not be aligned and may carry other fields between the coordinates.

#include <array>
#include <cstddef>
#include <cstdint>

#include "quilm_tf/matrix.hpp"

namespace quilm_tf {

enum class Scalar : std::uint8_t { Float32, Float64 };

// Where a record keeps its three coordinates: byte offsets from its start and their types,
// the distance between records, and whether the bytes are in the opposite of the
// machine's order.
struct CoordinateLayout {
  std::array<std::ptrdiff_t, 3> offsets{};
  std::array<Scalar, 3> types{};
  std::ptrdiff_t stride = 0;
  bool swapped = false;
};

// Which implementation runs: the best the processor supports, or the portable scalar loop
// (for tests that compare the two).
enum class Isa : std::uint8_t { Best, Scalar };

// Reads `count` records from `in`, writes the transformed coordinates into the records at
// `out` and nothing else of them. `in` and `out` may be the same records.
void transform_records(const Matrix4& m, const char* in, const CoordinateLayout& in_layout,
                       char* out, const CoordinateLayout& out_layout, std::size_t count,
                       Isa isa = Isa::Best) noexcept;

// Whether Isa::Best runs a vector path on this processor for the given layouts.
bool vector_path_available(const CoordinateLayout& in_layout,
                           const CoordinateLayout& out_layout) noexcept;

}  // namespace quilm_tf
