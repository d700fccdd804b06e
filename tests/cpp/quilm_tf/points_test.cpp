#include "quilm_tf/points.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

namespace quilm_tf {
namespace {

// A rotation about an awkward axis with a translation: no entry is 0 or 1, so a swapped
// index or a dropped term changes the result.
Matrix4 awkward() {
  return {{0.36, 0.48, -0.8, 1.25, -0.8, 0.6, 0.0, -2.5, 0.48, 0.64, 0.6, 1e-3, 0, 0, 0, 1}};
}

// Coordinates that stress the arithmetic: signed zeros, NaN, infinities, subnormals, huge.
std::vector<double> hard_values(std::size_t n) {
  std::vector<double> values = {0.0, -0.0, NAN, INFINITY, -INFINITY, 1e-310, -3e38, 1e300,
                                0.1, -7.25, 3.0e8, 1.0};
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> uniform(-100.0, 100.0);
  while (values.size() < n) values.push_back(uniform(random));
  return values;
}

struct Records {
  std::vector<char> bytes;
  CoordinateLayout layout;
};

// `count` records of `stride` bytes, coordinates at `offsets` of `type`, every other byte a
// marker; values from hard_values, stored in the layout's type and byte order.
Records make_records(std::size_t count, std::ptrdiff_t stride, std::array<std::ptrdiff_t, 3> offsets,
                     std::array<Scalar, 3> types, bool swapped) {
  Records r{std::vector<char>(count * static_cast<std::size_t>(stride), '\x5a'),
            {offsets, types, stride, swapped}};
  const std::vector<double> values = hard_values(3 * count);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t c = 0; c < 3; ++c) {
      char* at = r.bytes.data() + i * static_cast<std::size_t>(stride) + offsets[c];
      char raw[8];
      std::size_t size = 8;
      if (types[c] == Scalar::Float32) {
        const auto narrow = static_cast<float>(values[3 * i + c]);
        std::memcpy(raw, &narrow, size = 4);
      } else {
        std::memcpy(raw, &values[3 * i + c], size);
      }
      if (swapped) std::reverse(raw, raw + size);
      std::memcpy(at, raw, size);
    }
  }
  return r;
}

double read(const char* at, Scalar type, bool swapped) {
  char raw[8];
  const std::size_t size = type == Scalar::Float32 ? 4 : 8;
  std::memcpy(raw, at, size);
  if (swapped) std::reverse(raw, raw + size);
  if (type == Scalar::Float32) {
    float value;
    std::memcpy(&value, raw, 4);
    return value;
  }
  double value;
  std::memcpy(&value, raw, 8);
  return value;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); }

using Layout = std::tuple<std::ptrdiff_t, std::array<std::ptrdiff_t, 3>, std::array<Scalar, 3>, bool>;

class TransformRecords : public ::testing::TestWithParam<std::tuple<Layout, Layout>> {};

// Every path writes exactly the stated formula, rounded once into the output's type, and
// no byte outside the coordinates; 11 records exercise the four-wide loop and its tail.
TEST_P(TransformRecords, WritesTheLeftToRightSumAndNothingElse) {
  const auto& [in_spec, out_spec] = GetParam();
  const auto& [in_stride, in_offsets, in_types, in_swapped] = in_spec;
  const auto& [out_stride, out_offsets, out_types, out_swapped] = out_spec;
  const std::size_t n = 11;
  const Records in = make_records(n, in_stride, in_offsets, in_types, in_swapped);
  const Matrix4 m = awkward();
  for (const Isa isa : {Isa::Best, Isa::Scalar}) {
    Records out = make_records(n, out_stride, out_offsets, out_types, out_swapped);
    const std::vector<char> before = out.bytes;
    // Equal layouts run in place, as a cloud rewrites its own copy.
    const char* source = in_spec == out_spec ? out.bytes.data() : in.bytes.data();
    transform_records(m, source, in.layout, out.bytes.data(), out.layout, n, isa);
    for (std::size_t i = 0; i < n; ++i) {
      const char* from = in.bytes.data() + i * static_cast<std::size_t>(in_stride);
      const double x = read(from + in_offsets[0], in_types[0], in_swapped);
      const double y = read(from + in_offsets[1], in_types[1], in_swapped);
      const double z = read(from + in_offsets[2], in_types[2], in_swapped);
      for (std::size_t r = 0; r < 3; ++r) {
        double want = ((m(r, 0) * x + m(r, 1) * y) + m(r, 2) * z) + m(r, 3);
        if (out_types[r] == Scalar::Float32) want = static_cast<float>(want);
        const char* at = out.bytes.data() + i * static_cast<std::size_t>(out_stride) + out_offsets[r];
        EXPECT_TRUE(same_bits(read(at, out_types[r], out_swapped), want))
            << "record " << i << " row " << r << " isa " << static_cast<int>(isa);
      }
    }
    for (std::size_t b = 0; b < before.size(); ++b) {
      const auto offset = static_cast<std::ptrdiff_t>(b % static_cast<std::size_t>(out_stride));
      bool coordinate = false;
      for (std::size_t c = 0; c < 3; ++c) {
        const std::ptrdiff_t size = out_types[c] == Scalar::Float32 ? 4 : 8;
        coordinate = coordinate || (offset >= out_offsets[c] && offset < out_offsets[c] + size);
      }
      if (!coordinate) {
        EXPECT_EQ(out.bytes[b], before[b]) << "byte " << b << " changed";
      }
    }
  }
}

constexpr Scalar F = Scalar::Float32;
constexpr Scalar D = Scalar::Float64;

INSTANTIATE_TEST_SUITE_P(
    Layouts, TransformRecords,
    ::testing::Values(
        // A cloud record: x y z intensity, padding, ring.
        std::tuple{Layout{32, {0, 4, 8}, {F, F, F}, false}, Layout{32, {0, 4, 8}, {F, F, F}, false}},
        // (N, 3) float32 in, float64 out; and float64 at scattered offsets.
        std::tuple{Layout{12, {0, 4, 8}, {F, F, F}, false}, Layout{24, {0, 8, 16}, {D, D, D}, false}},
        std::tuple{Layout{40, {24, 0, 8}, {D, D, D}, false}, Layout{40, {24, 0, 8}, {D, D, D}, false}},
        // Mixed types and the opposite byte order take the scalar path.
        std::tuple{Layout{20, {0, 4, 12}, {F, F, D}, false}, Layout{20, {0, 4, 12}, {F, F, D}, false}},
        std::tuple{Layout{16, {0, 4, 8}, {F, F, F}, true}, Layout{16, {0, 4, 8}, {F, F, F}, true}}));

// Every path gives the scalar loop's bits, over many records of hard values.
TEST(TransformRecords, VectorPathMatchesTheScalarLoopBitForBit) {
  const std::size_t n = 1003;
  for (const Scalar type : {F, D}) {
    const Records in = make_records(n, 32, {0, 8, 16}, {type, type, type}, false);
    Records best = in;
    Records scalar = in;
    transform_records(awkward(), in.bytes.data(), in.layout, best.bytes.data(), best.layout, n);
    transform_records(awkward(), in.bytes.data(), in.layout, scalar.bytes.data(), scalar.layout,
                      n, Isa::Scalar);
    EXPECT_EQ(best.bytes, scalar.bytes) << "type " << static_cast<int>(type);
  }
}

}  // namespace
}  // namespace quilm_tf
