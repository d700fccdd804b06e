#include "quilm_tf/cloud.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
// False for a NaN or infinity. An out-parameter rather than an optional of 128 bits, which
// is assembled through memory on every call.
template <class T>
bool time_value(const char* at, bool swapped, i128& ns) noexcept {
  const T value = load<T>(at, swapped);
  if constexpr (std::is_floating_point_v<T>) {
    if (!std::isfinite(value)) return false;
    ns = seconds_to_ns(value);
  } else {
    ns = value;
  }
  return true;
}

// The matrices of recent rounded times, one slot per bin modulo the table's size: a sweep
// revisits the same few bins row after row.
class RecentMatrices {
 public:
  explicit RecentMatrices(std::uint64_t resolution_ns)
      : resolution_ns_(resolution_ns), slots_(resolution_ns > 0 ? SLOTS : 0) {}

  const Matrix4* find(std::int64_t time_ns) const noexcept {
    if (slots_.empty()) return nullptr;
    const Slot& slot = slots_[index(time_ns)];
    return slot.used && slot.time_ns == time_ns ? &slot.matrix : nullptr;
  }
  void keep(std::int64_t time_ns, const Matrix4& matrix) noexcept {
    if (slots_.empty()) return;
    slots_[index(time_ns)] = Slot{time_ns, true, matrix};
  }

 private:
  static constexpr std::size_t SLOTS = 1024;
  struct Slot {
    std::int64_t time_ns = 0;
    bool used = false;
    Matrix4 matrix;
  };
  // Only times in [0, limit) are kept, so the division sees no negative value.
  std::size_t index(std::int64_t time_ns) const noexcept {
    return static_cast<std::size_t>(static_cast<std::uint64_t>(time_ns) / resolution_ns_ % SLOTS);
  }
  std::uint64_t resolution_ns_;
  std::vector<Slot> slots_;
};

// memcpy that writes around the caches where the machine can: the output of a whole cloud is
// not read again soon, and a cached store would first read every destination line.
void stream_copy(char* to, const char* from, std::size_t size) noexcept {
#if defined(__x86_64__)
  const std::size_t head = std::min(size, (16 - reinterpret_cast<std::uintptr_t>(to) % 16) % 16);
  std::memcpy(to, from, head);
  std::size_t i = head;
  for (; i + 16 <= size; i += 16) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)));
  }
  std::memcpy(to + i, from + i, size - i);
#else
  std::memcpy(to, from, size);
#endif
}

// Orders the streaming stores before anything the caller does next.
void end_streaming() noexcept {
#if defined(__x86_64__)
  _mm_sfence();
#endif
}

// Small blocks measured fastest: a few records' worth stays far below the size at which the
// C library's memcpy turns to a string instruction, whose start-up costs more than the copy.
constexpr std::size_t BLOCK_BYTES = 512;

// How many records copy_rewriting hands over at most at a time. Records larger than the
// scratch area are rewritten in place in `out`, one at a time.
std::size_t block_records(const CloudLayout& layout) noexcept {
  const auto step = static_cast<std::size_t>(layout.coordinates.stride);
  return step == 0 ? 1 : std::max<std::size_t>(1, BLOCK_BYTES / step);
}

// Copies the cloud's bytes to `out`, letting `rewrite(records, source, first, count)` change
// the `count` records from point `first` on (row-major) on the way: a block of records is
// copied into a scratch area in the first-level cache, rewritten there and streamed out, so
// each byte is read from memory once and written once. `source` is the block's original
// bytes, as cached as the copy but better read than it: a narrow load of what a wide store
// just wrote waits for the store. A false from `rewrite` stops the pass.
template <class Rewrite>
bool copy_rewriting(const CloudLayout& layout, const char* data, char* out, Rewrite&& rewrite) {
  const auto step = static_cast<std::size_t>(layout.coordinates.stride);
  alignas(64) char scratch[BLOCK_BYTES];
  const std::size_t block = block_records(layout);
  bool done = true;
  for (std::size_t row = 0; row < layout.height && done; ++row) {
    const char* row_in = data + row * layout.row_step;
    char* row_out = out + row * layout.row_step;
    for (std::size_t start = 0; start < layout.width && done;) {
      const std::size_t count = std::min(block, layout.width - start);
      const std::size_t at = start * step;
      const std::size_t first = row * layout.width + start;
      if (count * step > BLOCK_BYTES) {
        std::memcpy(row_out + at, row_in + at, step);
        done = rewrite(row_out + at, row_in + at, first, count);
      } else {
        std::memcpy(scratch, row_in + at, count * step);
        done = rewrite(static_cast<char*>(scratch), row_in + at, first, count);
        stream_copy(row_out + at, scratch, count * step);
      }
      start += count;
    }
    const std::size_t used = layout.width * step;
    stream_copy(row_out + used, row_in + used, layout.row_step - used);
  }
  const std::size_t rows_end = layout.height * layout.row_step;
  stream_copy(out + rows_end, data + rows_end, layout.data_size - rows_end);
  end_streaming();
  return done;
}

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
  copy_rewriting(layout, data, out,
                 [&](char* records, const char*, std::size_t, std::size_t count) {
    transform_records(m, records, layout.coordinates, records, layout.coordinates, count);
    return true;
  });
}

PointClock::PointClock(const TimeField& field, bool swapped, u128 stamp_ns, TimeBase base,
                       std::uint64_t resolution_ns)
    : name_(field.name),
      offset_(field.offset),
      type_(field.type),
      swapped_(swapped),
      origin_ns_(base == TimeBase::Relative ? static_cast<i128>(stamp_ns) : 0),
      resolution_ns_(resolution_ns) {}

void PointClock::enter_bin(std::int64_t time) noexcept {
  // In unsigned 64 bits: a saturated time plus half a resolution cannot wrap.
  const std::uint64_t half = resolution_ns_ / 2;
  const i128 rounded = static_cast<i128>(
      (static_cast<std::uint64_t>(time) + half) / resolution_ns_ * resolution_ns_);
  rounded_ns_ = saturate(rounded);
  low_ns_ = saturate(rounded - half);
  high_ns_ = saturate(rounded - half + resolution_ns_);
}

template <class T>
std::size_t PointClock::read_as(const char* records, std::ptrdiff_t step, std::size_t count,
                                std::int64_t* times) noexcept {
  for (std::size_t k = 0; k < count; ++k) {
    i128 value = 0;
    const char* at = records + static_cast<std::ptrdiff_t>(k) * step + offset_;
    if (!time_value<T>(at, swapped_, value)) return k;
    const std::int64_t time = saturate(origin_ns_ + value);
    if (resolution_ns_ == 0 || time < 0) {
      times[k] = time;
      continue;
    }
    if (time < low_ns_ || time >= high_ns_) enter_bin(time);
    times[k] = rounded_ns_;
  }
  return count;
}

std::size_t PointClock::read(const char* records, std::ptrdiff_t step, std::size_t count,
                             std::int64_t* times) noexcept {
  switch (type_) {
    case FieldType::Int8: return read_as<std::int8_t>(records, step, count, times);
    case FieldType::UInt8: return read_as<std::uint8_t>(records, step, count, times);
    case FieldType::Int16: return read_as<std::int16_t>(records, step, count, times);
    case FieldType::UInt16: return read_as<std::uint16_t>(records, step, count, times);
    case FieldType::Int32: return read_as<std::int32_t>(records, step, count, times);
    case FieldType::UInt32: return read_as<std::uint32_t>(records, step, count, times);
    case FieldType::Float32: return read_as<float>(records, step, count, times);
    case FieldType::Float64: return read_as<double>(records, step, count, times);
  }
  return 0;
}

Result<void, DeskewFailure> deskew_cloud(AcrossTime& across, const CloudLayout& layout,
                                         PointClock clock, std::uint64_t resolution_ns,
                                         u128 limit_ns, const char* data, char* out) {
  RecentMatrices recent(resolution_ns);
  Matrix4 matrix;
  std::optional<std::int64_t> matrix_time;
  std::optional<DeskewFailure> failure;
  const auto step = layout.coordinates.stride;
  // The matrix of `time`, or false with `failure` set for the point at `index`.
  const auto select = [&](std::int64_t time, std::size_t index) {
    if (matrix_time == time) return true;
    if (time < 0 || static_cast<u128>(time) >= limit_ns) {
      failure.emplace(DeskewFailure{index, time, std::nullopt, std::nullopt});
      return false;
    }
    if (const Matrix4* kept = recent.find(time)) {
      matrix = *kept;
    } else {
      auto found = across.matrix_at_ns(static_cast<u128>(time));
      if (!found) {
        failure.emplace(DeskewFailure{index, time, std::move(found).error(), std::nullopt});
        return false;
      }
      matrix = *found;
      recent.keep(time, matrix);
    }
    matrix_time = time;
    return true;
  };
  std::vector<std::int64_t> times(block_records(layout));
  copy_rewriting(layout, data, out, [&](char* records, const char* source, std::size_t first,
                                       std::size_t count) {
    const std::size_t read = clock.read(source, step, count, times.data());
    // Runs of records with equal times, each moved by one call of the kernel; the points
    // before a bad time come first in row-major order, and so do their failures.
    for (std::size_t begin = 0, end = 0; begin < read; begin = end) {
      end = begin + 1;
      while (end < read && times[end] == times[begin]) ++end;
      if (!select(times[begin], first + begin)) return false;
      char* at = records + static_cast<std::ptrdiff_t>(begin) * step;
      transform_records(matrix, at, layout.coordinates, at, layout.coordinates, end - begin);
    }
    if (read < count) {
      failure.emplace(DeskewFailure{
          first + read, 0, std::nullopt,
          CloudError{cloud_error::NonFiniteTime{clock.field_name(), first + read}}});
      return false;
    }
    return true;
  });
  if (failure) return Unexpected{std::move(*failure)};
  return {};
}

}  // namespace quilm_tf
