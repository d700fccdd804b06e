// libFuzzer harness for the tf message decoder, fed arbitrary bytes as a CDR and as a ROS 1
// payload. Beyond staying in bounds (the address sanitizer watches every read), a refused
// payload must leave the output as it was, and an accepted one must give names that lie
// inside the payload, and every transform of it written out again must decode to itself.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "../cpp/quilm_tf/tf_wire_writer.hpp"
#include "fuzz_driver.hpp"

using quilm_tf::TfWireFormat;
using quilm_tf::WireTransform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
    tf_wire_testing::Writer again(format, false);
    again.put(static_cast<std::uint32_t>(decoded.size()));
    for (const WireTransform& t : decoded) again.transform(t);
    std::vector<WireTransform> round;
    if (!quilm_tf::decode_tf_message(again.payload(again.bytes_.size()), format, round) ||
        round.size() != decoded.size()) {
      fuzz::fail("a decoded message written out again does not decode");
    }
    for (std::size_t i = 0; i < round.size(); ++i) {
      if (!tf_wire_testing::same(round[i], decoded[i])) {
        fuzz::fail("a transform changed on the round trip");
      }
    }
  }
  return 0;
}
