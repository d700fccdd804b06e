#include "quilm_tf/points.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

namespace quilm_tf {
namespace {

constexpr Scalar F = Scalar::Float32;
constexpr Scalar D = Scalar::Float64;

std::size_t width(Scalar type) { return type == F ? 4 : 8; }

// A coordinate in the layout's type and byte order, through raw bytes.
void put(char* at, Scalar type, bool swapped, double value) {
  char raw[8];
  const auto narrow = static_cast<float>(value);
  std::memcpy(raw, type == F ? static_cast<const void*>(&narrow) : &value, width(type));
  if (swapped) std::reverse(raw, raw + width(type));
  std::memcpy(at, raw, width(type));
}

double get(const char* at, Scalar type, bool swapped) {
  char raw[8];
  std::memcpy(raw, at, width(type));
  if (swapped) std::reverse(raw, raw + width(type));
  float narrow;
  double value;
  std::memcpy(type == F ? static_cast<void*>(&narrow) : &value, raw, width(type));
  return type == F ? narrow : value;
}

class TransformRecords : public ::testing::TestWithParam<std::tuple<CoordinateLayout, bool>> {};

// Every path writes the left-to-right sum of the matrix's own entries (none 0 or 1, so a
// swapped index or a dropped term shows), rounded once into the output's type, and no byte
// outside the coordinates. 11 records of hard values (signed zeros, NaN, infinities,
// subnormals, huge) exercise the four-wide loops and their tails.
TEST_P(TransformRecords, WritesTheLeftToRightSumAndNothingElse) {
  const auto& [layout, to_float64] = GetParam();
  const CoordinateLayout out_layout =
      to_float64 ? CoordinateLayout{{0, 8, 16}, {D, D, D}, 24, false} : layout;
  const Matrix4 m{
      {0.36, 0.48, -0.8, 1.25, -0.8, 0.6, 0.1, -2.5, 0.48, 0.64, 0.6, 1e-3, 0, 0, 0, 1}};
  std::vector<double> values = {0.0, -0.0, NAN, INFINITY, -INFINITY, 1e-310, -3e38, 1e300, 0.1};
  std::mt19937_64 random(7);
  while (values.size() < 33) values.push_back(std::uniform_real_distribution(-99.0, 99.0)(random));
  const std::size_t n = 11;
  std::vector<char> in(n * static_cast<std::size_t>(layout.stride), '\x5a');
  for (std::size_t i = 0; i < 3 * n; ++i) {
    put(in.data() + i / 3 * layout.stride + layout.offsets[i % 3], layout.types[i % 3],
        layout.swapped, values[i]);
  }
  // Equal layouts run in place and into a copy whose bytes around the coordinates differ.
  for (const auto& [isa, in_place] : {std::pair{Isa::Best, true}, {Isa::Best, false},
                                      {Isa::Scalar, true}, {Isa::Scalar, false}}) {
    std::vector<char> out = to_float64 || !in_place ? std::vector<char>(n * 24, '\x33') : in;
    if (!to_float64 && !in_place) out.resize(in.size(), '\x44');
    const std::vector<char> before = out;
    transform_records(m, in_place && !to_float64 ? out.data() : in.data(), layout, out.data(),
                      out_layout, n, isa);
    std::vector<bool> written(out.size());
    for (std::size_t i = 0; i < n; ++i) {
      double p[3];  // the input as stored, narrowed where the layout says so
      for (std::size_t c = 0; c < 3; ++c) {
        p[c] = get(&in[i * layout.stride + layout.offsets[c]], layout.types[c], layout.swapped);
      }
      for (std::size_t r = 0; r < 3; ++r) {
        const Scalar type = out_layout.types[r];
        const std::size_t at = i * out_layout.stride + out_layout.offsets[r];
        double want = ((m(r, 0) * p[0] + m(r, 1) * p[1]) + m(r, 2) * p[2]) + m(r, 3);
        if (type == F) want = static_cast<float>(want);
        const double got = get(&out[at], type, out_layout.swapped);
        EXPECT_TRUE(std::memcmp(&got, &want, 8) == 0 || (got != got && want != want))
            << "record " << i << " row " << r << " isa " << int(isa);
        std::fill_n(written.begin() + static_cast<std::ptrdiff_t>(at), width(type), true);
      }
    }
    for (std::size_t b = 0; b < out.size(); ++b) {
      EXPECT_TRUE(written[b] || out[b] == before[b]) << "byte " << b << " changed";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, TransformRecords,
    ::testing::Values(
        // A cloud record (x y z intensity ... ring) in place; the same to (N, 3) float64.
        std::tuple{CoordinateLayout{{0, 4, 8}, {F, F, F}, 32, false}, false},
        std::tuple{CoordinateLayout{{0, 4, 8}, {F, F, F}, 12, false}, true},
        // float64 at scattered offsets; mixed types and the opposite byte order (scalar).
        std::tuple{CoordinateLayout{{24, 0, 8}, {D, D, D}, 40, false}, false},
        std::tuple{CoordinateLayout{{0, 4, 12}, {F, F, D}, 20, false}, false},
        std::tuple{CoordinateLayout{{0, 4, 8}, {F, F, F}, 16, true}, false}));

}  // namespace
}  // namespace quilm_tf
