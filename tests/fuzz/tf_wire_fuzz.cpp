// libFuzzer harness for the tf message decoder, fed arbitrary bytes as a CDR and as a ROS 1
// payload. Beyond staying in bounds (the address sanitizer watches every read), a refused
// payload must leave the output as it was, and an accepted one must give names that lie
// inside the payload, and every transform of it written out again must decode to itself.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_driver.hpp"
#include "quilm_tf/tf_wire.hpp"

namespace {

using quilm_tf::TfWireFormat;
using quilm_tf::WireTransform;

// The message again, little endian, with the alignment CDR asks for.
std::vector<std::byte> encode(const std::vector<WireTransform>& transforms, TfWireFormat format) {
  const bool cdr = format == TfWireFormat::Cdr;
  std::vector<std::byte> out;
  if (cdr) out = {std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}};
  auto put = [&](const auto value) {
    while (cdr && (out.size() - 4) % sizeof(value) != 0) out.push_back(std::byte{0});
    const auto* raw = reinterpret_cast<const std::byte*>(&value);
    out.insert(out.end(), raw, raw + sizeof(value));
  };
  auto name = [&](std::string_view text) {
    put(static_cast<std::uint32_t>(text.size() + (cdr ? 1 : 0)));
    for (const char c : text) out.push_back(static_cast<std::byte>(c));
    if (cdr) out.push_back(std::byte{0});
  };
  put(static_cast<std::uint32_t>(transforms.size()));
  for (const WireTransform& t : transforms) {
    if (!cdr) put(std::uint32_t{0});
    put(static_cast<std::uint32_t>(t.sec));
    put(t.nanosec);
    name(t.parent);
    name(t.child);
    for (const double v : {t.translation.x, t.translation.y, t.translation.z, t.rotation.x,
                           t.rotation.y, t.rotation.z, t.rotation.w}) {
      put(v);
    }
  }
  return out;
}

bool same(const WireTransform& a, const WireTransform& b) {
  const double av[] = {a.translation.x, a.translation.y, a.translation.z, a.rotation.x,
                       a.rotation.y,    a.rotation.z,    a.rotation.w};
  const double bv[] = {b.translation.x, b.translation.y, b.translation.z, b.rotation.x,
                       b.rotation.y,    b.rotation.z,    b.rotation.w};
  return a.sec == b.sec && a.nanosec == b.nanosec && a.parent == b.parent &&
         a.child == b.child && std::memcmp(av, bv, sizeof av) == 0;  // NaNs compare by bits
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static_assert(std::endian::native == std::endian::little, "encode() writes native order");
  const std::span<const std::byte> payload(reinterpret_cast<const std::byte*>(data), size);
  const auto* begin = reinterpret_cast<const char*>(data);
  for (const TfWireFormat format : {TfWireFormat::Cdr, TfWireFormat::Ros1}) {
    std::vector<WireTransform> out(1);
    if (!quilm_tf::decode_tf_message(payload, format, out)) {
      if (out.size() != 1) fuzz::fail("a refused payload changed the output");
      continue;
    }
    for (std::size_t i = 1; i < out.size(); ++i) {
      for (const std::string_view name : {out[i].parent, out[i].child}) {
        if (name.data() < begin || name.data() + name.size() > begin + size) {
          fuzz::fail("a name lies outside the payload");
        }
      }
    }
    const std::vector<WireTransform> decoded(out.begin() + 1, out.end());
    const std::vector<std::byte> again = encode(decoded, format);
    std::vector<WireTransform> round;
    if (!quilm_tf::decode_tf_message(again, format, round) || round.size() != decoded.size()) {
      fuzz::fail("a decoded message written out again does not decode");
    }
    for (std::size_t i = 0; i < round.size(); ++i) {
      if (!same(round[i], decoded[i])) fuzz::fail("a transform changed on the round trip");
    }
  }
  return 0;
}
