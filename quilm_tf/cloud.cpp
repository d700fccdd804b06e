#include "quilm_tf/cloud.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "quilm_tf/quoted.hpp"

namespace quilm_tf {
namespace {

__extension__ typedef __int128 i128;

std::size_t type_size(std::uint64_t datatype) noexcept {
  switch (datatype) {
    case 1: case 2: return 1;
    case 3: case 4: return 2;
    case 5: case 6: case 7: return 4;
    case 8: return 8;
    default: return 0;
  }
}

const FieldSpec* find_field(const CloudSpec& spec, std::string_view name) noexcept {
  for (const FieldSpec& field : spec.fields) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

// The checks every field read as one value passes: present, of a known type (a float one
// if `need_float`), count 1, inside the record.
Result<const FieldSpec*, CloudError> scalar_field(const CloudSpec& spec, std::string_view name,
                                                  bool need_float) {
  const FieldSpec* field = find_field(spec, name);
  if (field == nullptr) return Unexpected{CloudError{cloud_error::MissingField{std::string(name)}}};
  const std::size_t size = type_size(field->datatype);
  if (need_float && field->datatype != 7 && field->datatype != 8) {
    return Unexpected{CloudError{cloud_error::NotFloat{std::string(name), field->datatype}}};
  }
  if (size == 0) {
    return Unexpected{CloudError{cloud_error::UnknownType{std::string(name), field->datatype}}};
  }
  if (field->count != 1) {
    return Unexpected{CloudError{cloud_error::NotSingle{std::string(name), field->count}}};
  }
  // offset + size cannot wrap: a wrapped end would pass the check below.
  if (field->offset > spec.point_step || spec.point_step - field->offset < size) {
    const u128 end = u128{field->offset} + size;
    return Unexpected{CloudError{cloud_error::PastPointStep{
        std::string(name), static_cast<std::uint64_t>(std::min<u128>(end, UINT64_MAX)),
        spec.point_step}}};
  }
  return field;
}

void append_u128(std::string& out, u128 value) {
  char digits[40];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

template <class T>
T load(const char* at, bool swapped) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  if (swapped) {
    auto bytes = std::bit_cast<std::array<char, sizeof(T)>>(value);
    std::reverse(bytes.begin(), bytes.end());
    value = std::bit_cast<T>(bytes);
  }
  return value;
}

// The double's own value times 1e9, rounded once to the nearest integer, ties to even: the
// 53-bit significand times 1e9 fits 128 bits exactly, so only the final shift rounds.
i128 seconds_to_ns(double seconds) noexcept {
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(seconds), &exponent);
  const auto significand = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const u128 product = u128{significand} * 1'000'000'000u;
  const int shift = 53 - exponent;  // seconds * 1e9 = product / 2^shift
  u128 ns = 0;
  if (shift <= 0) {
    // At 2^44 s or more: far past any stamp; saturate rather than shift bits out.
    ns = -shift > 40 ? u128{1} << 124 : product << -shift;
  } else if (shift < 128) {
    ns = product >> shift;
    const u128 rest = product - (ns << shift);
    const u128 half = u128{1} << (shift - 1);
    if (rest > half || (rest == half && (ns & 1) != 0)) ++ns;
  }
  const auto magnitude = static_cast<i128>(ns);
  return seconds < 0 ? -magnitude : magnitude;
}

std::int64_t saturate(i128 value) noexcept {
  constexpr i128 high = std::numeric_limits<std::int64_t>::max();
  constexpr i128 low = std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(std::clamp(value, low, high));
}

// The field's value at `at`: integer nanoseconds or, for a float, seconds made nanoseconds.
// Empty for a NaN or infinity.
std::optional<i128> time_value(const char* at, FieldType type, bool swapped) noexcept {
  switch (type) {
    case FieldType::Int8: return load<std::int8_t>(at, swapped);
    case FieldType::UInt8: return load<std::uint8_t>(at, swapped);
    case FieldType::Int16: return load<std::int16_t>(at, swapped);
    case FieldType::UInt16: return load<std::uint16_t>(at, swapped);
    case FieldType::Int32: return load<std::int32_t>(at, swapped);
    case FieldType::UInt32: return load<std::uint32_t>(at, swapped);
    case FieldType::Float32:
    case FieldType::Float64: {
      const double seconds = type == FieldType::Float32 ? load<float>(at, swapped)
                                                        : load<double>(at, swapped);
      if (!std::isfinite(seconds)) return std::nullopt;
      return seconds_to_ns(seconds);
    }
  }
  return std::nullopt;
}

// A fresh matrix per distinct time, or the one its bin already holds.
class MatrixCache {
 public:
  MatrixCache(std::span<const std::int64_t> times_ns, std::uint64_t resolution_ns) {
    if (resolution_ns == 0 || times_ns.empty()) return;
    const auto [low, high] = std::minmax_element(times_ns.begin(), times_ns.end());
    const i128 bins = (i128{*high} - *low) / resolution_ns + 1;
    // A table no larger than the cloud itself; times spread wider share only runs.
    if (bins > static_cast<i128>(std::max<std::size_t>(times_ns.size(), 4096))) return;
    base_ns_ = *low;
    resolution_ns_ = resolution_ns;
    matrices_.resize(static_cast<std::size_t>(bins));
  }

  Matrix4* find(std::int64_t time_ns) noexcept {
    if (matrices_.empty()) return nullptr;
    // Rounded times are multiples of the resolution, so each bin holds exactly one time.
    auto& slot = matrices_[static_cast<std::size_t>((i128{time_ns} - base_ns_) / resolution_ns_)];
    return slot ? &*slot : nullptr;
  }
  void keep(std::int64_t time_ns, const Matrix4& matrix) {
    if (matrices_.empty()) return;
    matrices_[static_cast<std::size_t>((i128{time_ns} - base_ns_) / resolution_ns_)] = matrix;
  }

 private:
  std::int64_t base_ns_ = 0;
  std::uint64_t resolution_ns_ = 1;
  std::vector<std::optional<Matrix4>> matrices_;
};

}  // namespace

std::string to_string(const CloudError& error) {
  struct Visitor {
    std::string& out;
    void field(const std::string& name) {
      out += "point cloud field ";
      append_quoted(out, name);
    }
    void operator()(const cloud_error::MissingField& e) {
      out += "point cloud has no field ";
      append_quoted(out, e.name);
    }
    void operator()(const cloud_error::UnknownType& e) {
      field(e.name);
      out += " has unknown datatype " + std::to_string(e.datatype);
    }
    void operator()(const cloud_error::NotFloat& e) {
      field(e.name);
      out += " must be float32 or float64 (datatype 7 or 8), got datatype " +
             std::to_string(e.datatype);
    }
    void operator()(const cloud_error::NotSingle& e) {
      field(e.name);
      out += " must have count 1, got " + std::to_string(e.count);
    }
    void operator()(const cloud_error::PastPointStep& e) {
      field(e.name);
      out += " ends at byte " + std::to_string(e.end) + ", past point_step " +
             std::to_string(e.point_step);
    }
    void operator()(const cloud_error::RowTooShort& e) {
      out += "point cloud row_step " + std::to_string(e.row_step) +
             " is less than width * point_step = ";
      append_u128(out, e.needed);
    }
    void operator()(const cloud_error::DataTooShort& e) {
      out += "point cloud data holds " + std::to_string(e.size) +
             " bytes, less than height * row_step = ";
      append_u128(out, e.needed);
    }
    void operator()(const cloud_error::NonFiniteTime& e) {
      field(e.name);
      out += " holds a non-finite time at point " + std::to_string(e.index);
    }
  };
  std::string out;
  std::visit(Visitor{out}, error.kind);
  return out;
}

Result<CloudLayout, CloudError> decode_cloud(const CloudSpec& spec) {
  CloudLayout layout;
  constexpr std::string_view names[3] = {"x", "y", "z"};
  for (std::size_t i = 0; i < 3; ++i) {
    auto field = scalar_field(spec, names[i], true);
    if (!field) return Unexpected{std::move(field).error()};
    layout.coordinates.offsets[i] = static_cast<std::ptrdiff_t>((*field)->offset);
    layout.coordinates.types[i] = (*field)->datatype == 7 ? Scalar::Float32 : Scalar::Float64;
  }
  const u128 row_bytes = u128{spec.width} * spec.point_step;
  if (spec.height > 0 && spec.row_step < row_bytes) {
    return Unexpected{CloudError{cloud_error::RowTooShort{spec.row_step, row_bytes}}};
  }
  const u128 needed = u128{spec.height} * spec.row_step;
  if (spec.data_size < needed) {
    return Unexpected{CloudError{cloud_error::DataTooShort{spec.data_size, needed}}};
  }
  // Every product below is now at most data_size, which fits size_t.
  layout.height = static_cast<std::size_t>(spec.height);
  layout.width = layout.height == 0 ? 0 : static_cast<std::size_t>(spec.width);
  layout.row_step = static_cast<std::size_t>(spec.row_step);
  layout.data_size = spec.data_size;
  layout.coordinates.stride = static_cast<std::ptrdiff_t>(spec.point_step);
  layout.coordinates.swapped = spec.big_endian != (std::endian::native == std::endian::big);
  return layout;
}

Result<TimeField, CloudError> decode_time_field(const CloudSpec& spec, std::string_view name) {
  auto field = scalar_field(spec, name, false);
  if (!field) return Unexpected{std::move(field).error()};
  return TimeField{std::string(name), static_cast<std::size_t>((*field)->offset),
                   static_cast<FieldType>((*field)->datatype)};
}

void transform_cloud(const Matrix4& m, const CloudLayout& layout, const char* data,
                     char* out) noexcept {
  const auto step = static_cast<std::size_t>(layout.coordinates.stride);
  // About 16 KiB a block: copied, then read and rewritten while still in the first cache.
  const std::size_t block = std::max<std::size_t>(1, 16384 / std::max<std::size_t>(step, 1));
  for (std::size_t row = 0; row < layout.height; ++row) {
    const char* row_in = data + row * layout.row_step;
    char* row_out = out + row * layout.row_step;
    for (std::size_t start = 0; start < layout.width; start += block) {
      const std::size_t count = std::min(block, layout.width - start);
      std::memcpy(row_out + start * step, row_in + start * step, count * step);
      transform_records(m, row_in + start * step, layout.coordinates, row_out + start * step,
                        layout.coordinates, count);
    }
    const std::size_t used = layout.width * step;
    std::memcpy(row_out + used, row_in + used, layout.row_step - used);
  }
  const std::size_t rows_end = layout.height * layout.row_step;
  std::memcpy(out + rows_end, data + rows_end, layout.data_size - rows_end);
}

Result<std::vector<std::int64_t>, CloudError> point_times_ns(const CloudLayout& layout,
                                                             const TimeField& field,
                                                             const char* data, u128 stamp_ns,
                                                             TimeBase base,
                                                             std::uint64_t resolution_ns) {
  std::vector<std::int64_t> times(layout.points());
  const i128 origin = base == TimeBase::Relative ? static_cast<i128>(stamp_ns) : 0;
  const i128 half = resolution_ns / 2;
  for (std::size_t i = 0; i < times.size(); ++i) {
    const std::optional<i128> value =
        time_value(data + layout.record(i) + field.offset, field.type, layout.coordinates.swapped);
    if (!value) return Unexpected{CloudError{cloud_error::NonFiniteTime{field.name, i}}};
    std::int64_t time = saturate(origin + *value);
    if (resolution_ns > 0 && time >= 0) {
      time = saturate((time + half) / resolution_ns * resolution_ns);
    }
    times[i] = time;
  }
  return times;
}

Result<void, DeskewFailure> deskew_cloud(AcrossTime& across, const CloudLayout& layout,
                                         std::span<const std::int64_t> times_ns,
                                         std::uint64_t resolution_ns, u128 limit_ns,
                                         const char* data, char* out) {
  std::memcpy(out, data, layout.data_size);
  MatrixCache cache(times_ns, resolution_ns);
  Matrix4 matrix;
  std::optional<std::int64_t> matrix_time;
  for (std::size_t row = 0; row < layout.height; ++row) {
    std::size_t begin = row * layout.width;
    const std::size_t row_end = begin + layout.width;
    while (begin < row_end) {
      const std::int64_t time = times_ns[begin];
      std::size_t end = begin + 1;
      while (end < row_end && times_ns[end] == time) ++end;
      if (matrix_time != time) {
        if (time < 0 || static_cast<u128>(time) >= limit_ns) {
          return Unexpected{DeskewFailure{begin, time, std::nullopt}};
        }
        if (const Matrix4* kept = cache.find(time)) {
          matrix = *kept;
        } else {
          auto found = across.matrix_at_ns(static_cast<u128>(time));
          if (!found) return Unexpected{DeskewFailure{begin, time, std::move(found).error()}};
          matrix = *found;
          cache.keep(time, matrix);
        }
        matrix_time = time;
      }
      const std::size_t at = layout.record(begin);
      transform_records(matrix, data + at, layout.coordinates, out + at, layout.coordinates,
                        end - begin);
      begin = end;
    }
  }
  return {};
}

}  // namespace quilm_tf
