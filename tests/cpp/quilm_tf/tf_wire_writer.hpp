#pragma once

// Writes tf messages the way the recorders do, independently of the decoder: the unit
// tests build their payloads with it, and the fuzzer writes each decoded message again.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "quilm_tf/tf_wire.hpp"

namespace tf_wire_testing {

using quilm_tf::TfWireFormat;
using quilm_tf::WireTransform;

class Writer {
 public:
  Writer(TfWireFormat format, bool big_endian)
      : cdr_(format == TfWireFormat::Cdr), big_(big_endian) {
    if (cdr_) bytes_ = {0, static_cast<std::uint8_t>(big_ ? 0 : 1), 0, 0};
  }
  // CDR aligns each value to its size, counted from the end of the encapsulation header.
  template <class T>
  Writer& put(T value) {
    while (cdr_ && (bytes_.size() - 4) % sizeof(T) != 0) bytes_.push_back(0);
    unsigned char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    const bool native = big_ == (std::endian::native == std::endian::big);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      bytes_.push_back(raw[native ? i : sizeof(T) - 1 - i]);
    }
    return *this;
  }
  Writer& name(std::string_view text) {
    put(static_cast<std::uint32_t>(text.size() + (cdr_ ? 1 : 0)));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    if (cdr_) bytes_.push_back(0);
    return *this;
  }
  // ROS 1 puts a sequence number first, which the decoder skips.
  Writer& transform(const WireTransform& t) {
    if (!cdr_) put(std::uint32_t{7});
    put(static_cast<std::uint32_t>(t.sec)).put(t.nanosec).name(t.parent).name(t.child);
    for (const double v : {t.translation.x, t.translation.y, t.translation.z, t.rotation.x,
                           t.rotation.y, t.rotation.z, t.rotation.w}) {
      put(v);
    }
    return *this;
  }
  std::span<const std::byte> payload(std::size_t size) const {
    return {reinterpret_cast<const std::byte*>(bytes_.data()), size};
  }
  std::vector<std::uint8_t> bytes_;

 private:
  bool cdr_;
  bool big_;
};

// Equal fields, the doubles compared by their bits (so NaNs compare too).
inline bool same(const WireTransform& a, const WireTransform& b) {
  const double av[] = {a.translation.x, a.translation.y, a.translation.z, a.rotation.x,
                       a.rotation.y,    a.rotation.z,    a.rotation.w};
  const double bv[] = {b.translation.x, b.translation.y, b.translation.z, b.rotation.x,
                       b.rotation.y,    b.rotation.z,    b.rotation.w};
  return a.sec == b.sec && a.nanosec == b.nanosec && a.parent == b.parent &&
         a.child == b.child && std::memcmp(av, bv, sizeof av) == 0;
}

}  // namespace tf_wire_testing
