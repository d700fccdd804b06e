#include "quilm_tf/cloud.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "../testing.hpp"

namespace quilm_tf {
namespace {

using frames::geometry::Quaternion;
using testing_support::text;

constexpr u128 S = 1'000'000'000;
constexpr u128 LIMIT_NS = u128{1} << 62;

// x y z float32 at 0, 4, 8, intensity float32 at 12, t uint32 at 16, 4 padding bytes.
std::vector<FieldSpec> lidar_fields() {
  return {{"x", 0, 7, 1}, {"y", 4, 7, 1}, {"z", 8, 7, 1}, {"intensity", 12, 7, 1},
          {"t", 16, 6, 1}};
}

TEST(DecodeCloud, RefusesTheFirstLayoutProblemWithItsName) {
  const std::vector<FieldSpec> good = lidar_fields();
  const auto with = [&](std::size_t index, FieldSpec field) {
    std::vector<FieldSpec> fields = good;
    fields[index] = field;
    return fields;
  };
  for (const auto& [fields, height, width, row_step, size, expected] : {
           std::tuple{good, 2, 3, 72, std::size_t{144}, "ok"},
           {with(0, {"X", 0, 7, 1}), 2, 3, 72, 144, R"(point cloud has no field "x")"},
           {with(2, {"z", 8, 5, 1}), 2, 3, 72, 144,
            R"(point cloud field "z" must be float32 or float64 (datatype 7 or 8), )"
            "got datatype 5"},
           {with(1, {"y", 4, 7, 2}), 2, 3, 72, 144,
            R"(point cloud field "y" must have count 1, got 2)"},
           {with(2, {"z", 20, 7, 1}), 2, 3, 72, 144, "ok"},  // ends exactly at point_step
           {with(2, {"z", 21, 7, 1}), 2, 3, 72, 144,
            R"(point cloud field "z" ends at byte 25, past point_step 24)"},
           {with(2, {"z", UINT64_MAX - 1, 8, 1}), 2, 3, 72, 144,
            R"(point cloud field "z" ends at byte 18446744073709551615, past point_step 24)"},
           {good, 2, 3, 71, 144, "point cloud row_step 71 is less than width * point_step = 72"},
           {good, 2, 3, 72, 143,
            "point cloud data holds 143 bytes, less than height * row_step = 144"},
           // No rows: nothing is read, whatever the width.
           {good, 0, 3, 0, 0, "ok"},
       }) {
    const CloudSpec spec{static_cast<std::uint64_t>(height), static_cast<std::uint64_t>(width), 24,
                         static_cast<std::uint64_t>(row_step), false, size, fields};
    EXPECT_EQ(text(decode_cloud(spec)), expected) << expected;
  }
  const CloudSpec spec{1, 1, 24, 24, false, 24, good};
  EXPECT_EQ(text(decode_time_field(spec, "ring")), R"(point cloud has no field "ring")");
  const std::vector<FieldSpec> odd = with(4, {"t", 16, 9, 1});
  EXPECT_EQ(text(decode_time_field({1, 1, 24, 24, false, 24, odd}, "t")),
            R"(point cloud field "t" has unknown datatype 9)");
}

// A cloud of `height` rows of `width` lidar records, `pad` bytes after each row and 5
// trailing bytes; every byte not written below is a distinct marker.
struct TestCloud {
  std::vector<FieldSpec> fields = lidar_fields();
  std::vector<char> data;
  CloudSpec spec;
  CloudLayout layout;

  TestCloud(std::size_t height, std::size_t width, std::size_t pad) {
    const std::size_t row_step = width * 24 + pad;
    data.resize(height * row_step + 5);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 37 + 11);
    spec = {height, width, 24, row_step, false, data.size(), fields};
    layout = *decode_cloud(spec);
    for (std::size_t i = 0; i < layout.points(); ++i) {
      const float xyz[3] = {static_cast<float>(i) * 0.5f - 3.0f, 1.25f, i == 4 ? NAN : 2.0f};
      std::memcpy(data.data() + layout.record(i), xyz, sizeof xyz);
    }
  }
  void set_time(std::size_t i, auto value) {
    std::memcpy(data.data() + layout.record(i) + 16, &value, sizeof value);
  }
};

Matrix4 quarter_turn() {
  return {{0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1}};
}

// The fused pass equals a plain copy followed by the kernel on every record.
TEST(TransformCloud, MovesEveryRecordAndCopiesEveryOtherByte) {
  for (const auto& [height, width, pad] : {std::tuple{3u, 5u, 7u}, {2u, 400u, 0u}, {0u, 9u, 0u}}) {
    const TestCloud cloud(height, width, pad);
    std::vector<char> want = cloud.data;
    for (std::size_t i = 0; i < cloud.layout.points(); ++i) {
      const std::size_t at = cloud.layout.record(i);
      transform_records(quarter_turn(), cloud.data.data() + at, cloud.layout.coordinates,
                        want.data() + at, cloud.layout.coordinates, 1, Isa::Scalar);
    }
    std::vector<char> out(cloud.data.size());
    transform_cloud(quarter_turn(), cloud.layout, cloud.data.data(), out.data());
    EXPECT_EQ(out, want) << height << "x" << width << " + " << pad;
  }
}

TEST(PointTimes, ReadsEachEncodingAsNanosecondsSinceTheEpoch) {
  // `foreign`: the cloud's byte order is not this machine's.
  const auto times_of = [](FieldSpec field, auto value, TimeBase base, std::uint64_t resolution,
                           bool foreign = false) {
    TestCloud cloud(1, 1, 0);
    cloud.fields[4] = field;
    cloud.spec.fields = cloud.fields;
    cloud.spec.big_endian = foreign == (std::endian::native == std::endian::little);
    cloud.set_time(0, value);
    const bool swapped = decode_cloud(cloud.spec)->coordinates.swapped;
    PointClock clock(*decode_time_field(cloud.spec, field.name), swapped, 7 * S, base, resolution);
    std::int64_t time = 0;
    return clock.read(cloud.data.data(), 24, 1, &time) == 1 ? std::to_string(time)
                                                              : "non-finite";
  };
  const FieldSpec u32{"t", 16, 6, 1}, i32{"t", 16, 5, 1}, f32{"t", 16, 7, 1}, f64{"t", 16, 8, 1};
  const TimeBase rel = TimeBase::Relative, abs = TimeBase::Absolute;
  EXPECT_EQ(times_of(u32, std::uint32_t{1500}, rel, 0), "7000001500");
  EXPECT_EQ(times_of(i32, std::int32_t{-1500}, rel, 0), "6999998500");
  EXPECT_EQ(times_of(i32, std::int32_t{-1500}, abs, 0), "-1500");
  EXPECT_EQ(times_of(u32, std::uint32_t{0x01020304}, abs, 0, true), "67305985");  // 0x04030201
  // 2^-10 s is 976562.5 ns exactly, 3 * 2^-10 s 2929687.5 ns: ties go to even.
  EXPECT_EQ(times_of(f32, 0.0009765625f, rel, 0), "7000976562");
  EXPECT_EQ(times_of(f64, 0.0029296875, rel, 0), "7002929688");
  EXPECT_EQ(times_of(f64, 1.5e9, abs, 0), "1500000000000000000");
  EXPECT_EQ(times_of(f64, -0.25, abs, 0), "-250000000");
  EXPECT_EQ(times_of(f64, 1e300, abs, 0), "9223372036854775807");
  EXPECT_EQ(times_of(f32, NAN, rel, 0), "non-finite");
  // Nearest multiple of the resolution, halves up; negative times are left for the lookup.
  EXPECT_EQ(times_of(u32, std::uint32_t{499'999}, rel, 1'000'000), "7000000000");
  EXPECT_EQ(times_of(u32, std::uint32_t{500'000}, rel, 1'000'000), "7001000000");
  EXPECT_EQ(times_of(i32, std::int32_t{-3}, abs, 10), "-3");
}

// A clock remembers the bin of the last time; every point still gets the bin of its own,
// whatever came before it, and a NaN stops the read at its index.
TEST(PointTimes, RoundsEveryPointOfABlockIntoItsOwnBin) {
  const std::int32_t raw[] = {4, 6, 5, -3, 4, 14, 15, 24, -5, 0};
  const std::int64_t rounded[] = {0, 10, 10, -3, 0, 10, 20, 20, -5, 0};
  TestCloud cloud(1, std::size(raw), 0);
  cloud.fields[4] = {"t", 16, 5, 1};
  cloud.spec.fields = cloud.fields;
  for (std::size_t i = 0; i < std::size(raw); ++i) cloud.set_time(i, raw[i]);
  PointClock clock(*decode_time_field(cloud.spec, "t"), false, 0, TimeBase::Absolute, 10);
  std::vector<std::int64_t> times(std::size(raw));
  ASSERT_EQ(clock.read(cloud.data.data(), 24, times.size(), times.data()), times.size());
  EXPECT_EQ(times, std::vector<std::int64_t>(std::begin(rounded), std::end(rounded)));

  cloud.fields[4] = {"t", 16, 7, 1};
  cloud.spec.fields = cloud.fields;
  for (std::size_t i = 0; i < 4; ++i) cloud.set_time(i, i == 2 ? NAN : 0.5f);
  PointClock floats(*decode_time_field(cloud.spec, "t"), false, 0, TimeBase::Absolute, 0);
  EXPECT_EQ(floats.read(cloud.data.data(), 24, 4, times.data()), 2u);
}

// odom -> base drives along x at 1 m/s and turns at 0.5 rad/s from 10 s to 12 s, sampled at
// 100 Hz; base -> lidar is a static offset.
TransformBuffer driving() {
  TransformBuffer buffer(frames::time::Duration{10, 0});
  for (int k = 0; k <= 200; ++k) {
    const double t = k * 0.01;
    const double half = 0.25 * t;
    const Isometry pose{Quaternion{std::cos(half), 0, 0, std::sin(half)}, {t, 0.1 * t, 0}};
    EXPECT_TRUE(buffer.insert_isometry("odom", "base", pose, 10 * S + k * (S / 100), false));
  }
  EXPECT_TRUE(buffer.insert_isometry("base", "lidar", {{1, 0, 0, 0}, {0.5, 0, 0.2}}, 0, true));
  return buffer;
}

TEST(DeskewCloud, StopsAtTheFirstPointThatCannotBeLookedUp) {
  const TransformBuffer buffer = driving();
  TestCloud cloud(2, 3, 0);
  cloud.fields[4] = {"t", 16, 8, 1};  // float64 absolute seconds
  cloud.spec.fields = cloud.fields;
  const TimeField field = *decode_time_field(cloud.spec, "t");
  const double mid = 10.5, late = 13.0;  // late: past the data
  for (const auto& [times, expected] : {
           std::tuple{std::vector<double>{mid, mid, mid, mid, late, NAN},
                      "4 at 13000000000: failed to look up"},
           {std::vector<double>{mid, -1e-9, mid, mid, late, -1}, "1 at -1: out of range"},
           {std::vector<double>{mid, mid, 5e9, mid, mid, mid},
            "2 at 5000000000000000000: out of range"},
           {std::vector<double>{mid, mid, mid, INFINITY, late, mid},
            "3 at 0: point cloud field \"t\" holds a non-finite time at point 3"},
       }) {
    for (std::size_t i = 0; i < 6; ++i) cloud.set_time(i, times[i]);
    std::vector<char> out(cloud.data.size());
    AcrossTime across(buffer, "lidar", "lidar", "odom", 10 * S);
    const PointClock clock(field, false, 0, TimeBase::Absolute, 0);
    const auto done = deskew_cloud(across, cloud.layout, clock, 0, LIMIT_NS, cloud.data.data(),
                                   out.data());
    ASSERT_FALSE(done) << expected;
    const DeskewFailure& failure = done.error();
    std::string reason = failure.bad_time ? to_string(*failure.bad_time)
                         : failure.error  ? to_string(*failure.error).substr(0, 17)
                                          : "out of range";
    EXPECT_EQ(std::to_string(failure.index) + " at " + std::to_string(failure.stamp_ns) + ": " +
                  reason,
              expected);
  }
}

}  // namespace
}  // namespace quilm_tf
