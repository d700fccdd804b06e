#pragma once

// Point clouds as sensor messages lay them out: height rows of width points, each point a
// record of point_step bytes holding named fields at byte offsets, rows row_step bytes
// apart. Decoding checks the layout once, so that the passes over the points (the fused
// copy-and-transform, per-point times, deskewing) read and write only inside the data.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "frames/result.hpp"
#include "quilm_tf/across_time.hpp"
#include "quilm_tf/buffer.hpp"
#include "quilm_tf/matrix.hpp"
#include "quilm_tf/points.hpp"

namespace quilm_tf {

// The numeric types of a field, numbered as the sensor messages number them.
enum class FieldType : std::uint8_t {
  Int8 = 1, UInt8 = 2, Int16 = 3, UInt16 = 4, Int32 = 5, UInt32 = 6, Float32 = 7, Float64 = 8
};

// One field as a message describes it; the name views the caller's string.
struct FieldSpec {
  std::string_view name;
  std::uint64_t offset = 0;
  std::uint64_t datatype = 0;
  std::uint64_t count = 0;
};

// A cloud as a message describes it, with the length of its data in bytes.
struct CloudSpec {
  std::uint64_t height = 0;
  std::uint64_t width = 0;
  std::uint64_t point_step = 0;
  std::uint64_t row_step = 0;
  bool big_endian = false;
  std::size_t data_size = 0;
  std::span<const FieldSpec> fields;
};

namespace cloud_error {
struct MissingField { std::string name; };
struct UnknownType { std::string name; std::uint64_t datatype; };
struct NotFloat { std::string name; std::uint64_t datatype; };
struct NotSingle { std::string name; std::uint64_t count; };
struct PastPointStep { std::string name; std::uint64_t end; std::uint64_t point_step; };
struct RowTooShort { std::uint64_t row_step; u128 needed; };
struct DataTooShort { std::size_t size; u128 needed; };
struct NonFiniteTime { std::string name; std::size_t index; };
}  // namespace cloud_error

struct CloudError {
  std::variant<cloud_error::MissingField, cloud_error::UnknownType, cloud_error::NotFloat,
               cloud_error::NotSingle, cloud_error::PastPointStep, cloud_error::RowTooShort,
               cloud_error::DataTooShort, cloud_error::NonFiniteTime>
      kind;
};

std::string to_string(const CloudError& error);

// A checked layout: every one of the height * width records, with its coordinates, lies
// inside data_size bytes. The coordinates are float32 or float64; `coordinates.swapped`
// says the data is in the opposite of the machine's byte order.
struct CloudLayout {
  std::size_t height = 0;
  std::size_t width = 0;
  std::size_t row_step = 0;
  std::size_t data_size = 0;
  CoordinateLayout coordinates;

  std::size_t points() const noexcept { return height * width; }
  // Byte offset of point `index` (row-major) from the start of the data.
  std::size_t record(std::size_t index) const noexcept {
    return index / width * row_step +
           index % width * static_cast<std::size_t>(coordinates.stride);
  }
};

// x, y and z checked in that order: present (the first field of the name), float32 or
// float64, count 1, inside point_step; then row_step against width * point_step and the
// data against height * row_step.
Result<CloudLayout, CloudError> decode_cloud(const CloudSpec& spec);

// A per-point time: a field of any numeric type, count 1, inside point_step.
struct TimeField {
  std::string name;
  std::size_t offset = 0;
  FieldType type = FieldType::UInt32;
};
Result<TimeField, CloudError> decode_time_field(const CloudSpec& spec, std::string_view name);

// Copies the `layout.data_size` bytes of `data` to `out` with every point's coordinates
// moved by `m`; every other byte (fields, padding, row padding, trailing bytes) as it was.
// One pass over memory: each block is copied and transformed while it is in cache.
void transform_cloud(const Matrix4& m, const CloudLayout& layout, const char* data,
                     char* out) noexcept;

enum class TimeBase : std::uint8_t { Relative, Absolute };

// The time of each point, in nanoseconds since the epoch. An integer field holds nanoseconds,
// a float field seconds, made nanoseconds exactly from the value as stored and rounded to
// the nearest (ties to even); Relative adds the header's stamp. With resolution_ns > 0 each
// non-negative time is rounded to the nearest multiple of it (halves up). Times beyond the
// int64 range saturate.
class PointClock {
 public:
  PointClock(const TimeField& field, bool swapped, u128 stamp_ns, TimeBase base,
             std::uint64_t resolution_ns);
  // The times of `count` records `step` bytes apart from `records` into `times`. Returns
  // how many were read: `count`, or the index of the first NaN or infinite float.
  std::size_t read(const char* records, std::ptrdiff_t step, std::size_t count,
                   std::int64_t* times) noexcept;
  const std::string& field_name() const noexcept { return name_; }

 private:
  std::string name_;
  std::size_t offset_;
  FieldType type_;
  bool swapped_;
  __extension__ __int128 origin_ns_;
  std::uint64_t resolution_ns_;
  // The raw times [low_ns_, high_ns_) round to rounded_ns_: neighbouring points mostly
  // share a bin, and two comparisons are much cheaper than the division.
  std::int64_t low_ns_ = 1;
  std::int64_t high_ns_ = 0;
  std::int64_t rounded_ns_ = 0;

  template <class T>
  std::size_t read_as(const char* records, std::ptrdiff_t step, std::size_t count,
                      std::int64_t* times) noexcept;
  // Makes the bin of `time` (at least 0) the current one.
  void enter_bin(std::int64_t time) noexcept;
};

// Why the point at `index` (row-major) could not be moved: its time NaN or infinite
// (bad_time), outside [0, limit) (neither set), or the lookup's error.
struct DeskewFailure {
  std::size_t index = 0;
  std::int64_t stamp_ns = 0;
  std::optional<TransformBufferError> error;
  std::optional<CloudError> bad_time;
};

// As transform_cloud, but each point moves by across.matrix_at_ns(its clock time). A run of
// equal times shares one matrix; with a resolution, each distinct rounded time is mostly
// looked up once (a small table keeps the recent ones). The first failing point in
// row-major order stops the pass; `out` is then partly written.
Result<void, DeskewFailure> deskew_cloud(AcrossTime& across, const CloudLayout& layout,
                                         PointClock clock, std::uint64_t resolution_ns,
                                         u128 limit_ns, const char* data, char* out);

}  // namespace quilm_tf
