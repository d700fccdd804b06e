#include "quilm_tf/points.hpp"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUILM_TF_X86 1
#else
#define QUILM_TF_X86 0
#endif

namespace quilm_tf {
namespace {

// Reads and writes through memcpy: records need not be aligned.
template <class T>
T load(const char* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <class T>
void store(char* at, T value) noexcept {
  std::memcpy(at, &value, sizeof value);
}

double load_coordinate(const char* at, Scalar type, bool swapped) noexcept {
  if (type == Scalar::Float32) {
    auto bits = load<std::uint32_t>(at);
    if (swapped) bits = __builtin_bswap32(bits);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  auto bits = load<std::uint64_t>(at);
  if (swapped) bits = __builtin_bswap64(bits);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void store_coordinate(char* at, Scalar type, bool swapped, double value) noexcept {
  if (type == Scalar::Float32) {
    const auto narrow = static_cast<float>(value);
    std::uint32_t bits;
    std::memcpy(&bits, &narrow, sizeof bits);
    store(at, swapped ? __builtin_bswap32(bits) : bits);
    return;
  }
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  store(at, swapped ? __builtin_bswap64(bits) : bits);
}

// The matrix's top three rows, named for the loops below.
struct Rows {
  double m00, m01, m02, m03, m10, m11, m12, m13, m20, m21, m22, m23;
  explicit Rows(const Matrix4& m) noexcept
      : m00(m(0, 0)), m01(m(0, 1)), m02(m(0, 2)), m03(m(0, 3)),
        m10(m(1, 0)), m11(m(1, 1)), m12(m(1, 2)), m13(m(1, 3)),
        m20(m(2, 0)), m21(m(2, 1)), m22(m(2, 2)), m23(m(2, 3)) {}
};

// Any layout, either byte order.
// Everything is taken by value: the stores go through char*, which may alias anything the
// loop would otherwise reload on every record.
void scalar_records(const Rows m, const char* in, const CoordinateLayout a, char* out,
                    const CoordinateLayout b, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    const char* from = in + static_cast<std::ptrdiff_t>(i) * a.stride;
    const double x = load_coordinate(from + a.offsets[0], a.types[0], a.swapped);
    const double y = load_coordinate(from + a.offsets[1], a.types[1], a.swapped);
    const double z = load_coordinate(from + a.offsets[2], a.types[2], a.swapped);
    char* to = out + static_cast<std::ptrdiff_t>(i) * b.stride;
    store_coordinate(to + b.offsets[0], b.types[0], b.swapped,
                     ((m.m00 * x + m.m01 * y) + m.m02 * z) + m.m03);
    store_coordinate(to + b.offsets[1], b.types[1], b.swapped,
                     ((m.m10 * x + m.m11 * y) + m.m12 * z) + m.m13);
    store_coordinate(to + b.offsets[2], b.types[2], b.swapped,
                     ((m.m20 * x + m.m21 * y) + m.m22 * z) + m.m23);
  }
}

// One type per side in the machine's order: the common case, with the type switch and byte
// swaps out of the loop.
template <class In, class Out>
void scalar_uniform(const Rows m, const char* in, const CoordinateLayout a, char* out,
                    const CoordinateLayout b, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    const char* from = in + static_cast<std::ptrdiff_t>(i) * a.stride;
    const double x = load<In>(from + a.offsets[0]);
    const double y = load<In>(from + a.offsets[1]);
    const double z = load<In>(from + a.offsets[2]);
    char* to = out + static_cast<std::ptrdiff_t>(i) * b.stride;
    store(to + b.offsets[0], static_cast<Out>(((m.m00 * x + m.m01 * y) + m.m02 * z) + m.m03));
    store(to + b.offsets[1], static_cast<Out>(((m.m10 * x + m.m11 * y) + m.m12 * z) + m.m13));
    store(to + b.offsets[2], static_cast<Out>(((m.m20 * x + m.m21 * y) + m.m22 * z) + m.m23));
  }
}

bool uniform(const CoordinateLayout& layout) noexcept {
  return !layout.swapped && layout.types[0] == layout.types[1] &&
         layout.types[1] == layout.types[2];
}

#if QUILM_TF_X86

// Four records at a time: the same products and sums as the scalar loop, lane by lane.
// Multiplies and adds stay separate instructions (this clone enables AVX2 but not FMA).
template <class In>
[[gnu::target("avx2")]] inline __m256d gather4(const char* at, std::ptrdiff_t stride) noexcept {
  if constexpr (sizeof(In) == 4) {
    return _mm256_cvtps_pd(_mm_set_ps(load<float>(at + 3 * stride), load<float>(at + 2 * stride),
                                      load<float>(at + stride), load<float>(at)));
  } else {
    return _mm256_set_pd(load<double>(at + 3 * stride), load<double>(at + 2 * stride),
                         load<double>(at + stride), load<double>(at));
  }
}

template <class Out>
[[gnu::target("avx2")]] inline void scatter4(char* at, std::ptrdiff_t stride,
                                             __m256d value) noexcept {
  if constexpr (sizeof(Out) == 4) {
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, _mm256_cvtpd_ps(value));
    for (int k = 0; k < 4; ++k) store(at + k * stride, lanes[k]);
  } else {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, value);
    for (int k = 0; k < 4; ++k) store(at + k * stride, lanes[k]);
  }
}

// The matrix's top three rows, each entry in all four lanes.
struct RowLanes {
  __m256d rows[3][4];
};

[[gnu::target("avx2")]] inline RowLanes lanes_of(const Rows& m) noexcept {
  return {{{_mm256_set1_pd(m.m00), _mm256_set1_pd(m.m01), _mm256_set1_pd(m.m02),
            _mm256_set1_pd(m.m03)},
           {_mm256_set1_pd(m.m10), _mm256_set1_pd(m.m11), _mm256_set1_pd(m.m12),
            _mm256_set1_pd(m.m13)},
           {_mm256_set1_pd(m.m20), _mm256_set1_pd(m.m21), _mm256_set1_pd(m.m22),
            _mm256_set1_pd(m.m23)}}};
}

// ((row[0] x + row[1] y) + row[2] z) + row[3], lane by lane.
[[gnu::target("avx2")]] inline __m256d row4(const __m256d (&row)[4], __m256d x, __m256d y,
                                            __m256d z) noexcept {
  return _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(row[0], x),
                                                   _mm256_mul_pd(row[1], y)),
                                     _mm256_mul_pd(row[2], z)),
                       row[3]);
}

// The AVX2 loops take their arguments by reference and copy them into locals: passed by
// value, the caller (compiled without AVX2, so never inlined into) copies the structs onto
// the stack on every call.
template <class In, class Out>
[[gnu::target("avx2")]] void avx2_uniform(const Rows& rows, const char* in,
                                          const CoordinateLayout& in_layout, char* out,
                                          const CoordinateLayout& out_layout,
                                          std::size_t count) noexcept {
  const Rows m = rows;
  const CoordinateLayout a = in_layout, b = out_layout;
  const RowLanes lanes = lanes_of(m);
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const char* from = in + static_cast<std::ptrdiff_t>(i) * a.stride;
    // All four records are read before any is written, so in and out may coincide.
    const __m256d x = gather4<In>(from + a.offsets[0], a.stride);
    const __m256d y = gather4<In>(from + a.offsets[1], a.stride);
    const __m256d z = gather4<In>(from + a.offsets[2], a.stride);
    char* to = out + static_cast<std::ptrdiff_t>(i) * b.stride;
    scatter4<Out>(to + b.offsets[0], b.stride, row4(lanes.rows[0], x, y, z));
    scatter4<Out>(to + b.offsets[1], b.stride, row4(lanes.rows[1], x, y, z));
    scatter4<Out>(to + b.offsets[2], b.stride, row4(lanes.rows[2], x, y, z));
  }
  scalar_uniform<In, Out>(m, in + static_cast<std::ptrdiff_t>(i) * a.stride, a,
                          out + static_cast<std::ptrdiff_t>(i) * b.stride, b, count - i);
}

// x, y, z as consecutive float32 at the same offset on both sides, with four bytes of the
// record after z: each record is read and written as one 16-byte vector, the four records
// transposed into x, y and z lanes and back. The fourth lane is whatever `out` held there.
bool packed_float32(const CoordinateLayout& a, const CoordinateLayout& b) noexcept {
  const auto packed = [](const CoordinateLayout& l) {
    return l.types[0] == Scalar::Float32 && l.offsets[1] == l.offsets[0] + 4 &&
           l.offsets[2] == l.offsets[0] + 8 && l.offsets[0] >= 0 &&
           l.offsets[0] + 16 <= l.stride;
  };
  return packed(a) && packed(b);
}

[[gnu::target("avx2")]] void avx2_packed(const Rows& rows, const char* in,
                                         const CoordinateLayout& in_layout, char* out,
                                         const CoordinateLayout& out_layout,
                                         std::size_t count) noexcept {
  const Rows m = rows;
  const CoordinateLayout a = in_layout, b = out_layout;
  const RowLanes lanes = lanes_of(m);
  const auto at_in = [&](std::size_t i) {
    return reinterpret_cast<const float*>(in + static_cast<std::ptrdiff_t>(i) * a.stride +
                                          a.offsets[0]);
  };
  const auto at_out = [&](std::size_t i) {
    return reinterpret_cast<float*>(out + static_cast<std::ptrdiff_t>(i) * b.stride +
                                    b.offsets[0]);
  };
  const bool in_place = in + a.offsets[0] == out + b.offsets[0] && a.stride == b.stride;
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    __m128 p0 = _mm_loadu_ps(at_in(i)), p1 = _mm_loadu_ps(at_in(i + 1));
    __m128 p2 = _mm_loadu_ps(at_in(i + 2)), p3 = _mm_loadu_ps(at_in(i + 3));
    _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
    const __m256d x = _mm256_cvtps_pd(p0);
    const __m256d y = _mm256_cvtps_pd(p1);
    const __m256d z = _mm256_cvtps_pd(p2);
    __m128 q0 = _mm256_cvtpd_ps(row4(lanes.rows[0], x, y, z));
    __m128 q1 = _mm256_cvtpd_ps(row4(lanes.rows[1], x, y, z));
    __m128 q2 = _mm256_cvtpd_ps(row4(lanes.rows[2], x, y, z));
    // Lane 3 of each result keeps the bytes `out` holds after z: in place, those are lane 3
    // of the input, moved through the shuffles bit for bit; otherwise they are read back.
    __m128 q3 = p3;
    _MM_TRANSPOSE4_PS(q0, q1, q2, q3);
    if (in_place) {
      _mm_storeu_ps(at_out(i), q0);
      _mm_storeu_ps(at_out(i + 1), q1);
      _mm_storeu_ps(at_out(i + 2), q2);
      _mm_storeu_ps(at_out(i + 3), q3);
      continue;
    }
    _mm_storeu_ps(at_out(i), _mm_blend_ps(q0, _mm_loadu_ps(at_out(i)), 0b1000));
    _mm_storeu_ps(at_out(i + 1), _mm_blend_ps(q1, _mm_loadu_ps(at_out(i + 1)), 0b1000));
    _mm_storeu_ps(at_out(i + 2), _mm_blend_ps(q2, _mm_loadu_ps(at_out(i + 2)), 0b1000));
    _mm_storeu_ps(at_out(i + 3), _mm_blend_ps(q3, _mm_loadu_ps(at_out(i + 3)), 0b1000));
  }
  scalar_uniform<float, float>(m, in + static_cast<std::ptrdiff_t>(i) * a.stride, a,
                               out + static_cast<std::ptrdiff_t>(i) * b.stride, b, count - i);
}

bool has_avx2() noexcept { return __builtin_cpu_supports("avx2") != 0; }

#else

bool has_avx2() noexcept { return false; }

#endif

template <class In, class Out>
void uniform_records(const Rows& m, const char* in, const CoordinateLayout& a, char* out,
                     const CoordinateLayout& b, std::size_t count, bool vector) noexcept {
#if QUILM_TF_X86
  if (vector) {
    avx2_uniform<In, Out>(m, in, a, out, b, count);
    return;
  }
#endif
  (void)vector;
  scalar_uniform<In, Out>(m, in, a, out, b, count);
}

}  // namespace

bool vector_path_available(const CoordinateLayout& in_layout,
                           const CoordinateLayout& out_layout) noexcept {
  return uniform(in_layout) && uniform(out_layout) && has_avx2();
}

void transform_records(const Matrix4& matrix, const char* in, const CoordinateLayout& in_layout,
                       char* out, const CoordinateLayout& out_layout, std::size_t count,
                       Isa isa) noexcept {
  const Rows m(matrix);
  if (!uniform(in_layout) || !uniform(out_layout)) {
    scalar_records(m, in, in_layout, out, out_layout, count);
    return;
  }
  const bool vector = isa == Isa::Best && has_avx2();
  const bool in32 = in_layout.types[0] == Scalar::Float32;
  const bool out32 = out_layout.types[0] == Scalar::Float32;
#if QUILM_TF_X86
  if (vector && packed_float32(in_layout, out_layout)) {
    avx2_packed(m, in, in_layout, out, out_layout, count);
    return;
  }
#endif
  if (in32 && out32) {
    uniform_records<float, float>(m, in, in_layout, out, out_layout, count, vector);
  } else if (in32) {
    uniform_records<float, double>(m, in, in_layout, out, out_layout, count, vector);
  } else if (out32) {
    uniform_records<double, float>(m, in, in_layout, out, out_layout, count, vector);
  } else {
    uniform_records<double, double>(m, in, in_layout, out, out_layout, count, vector);
  }
}

}  // namespace quilm_tf
