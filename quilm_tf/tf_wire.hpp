#pragma once

// Serialized tf messages as recorders store them: a list of stamped transforms, decoded
// without building any message object. Two wire formats:
//   - CDR (rosbag2): a 4-byte encapsulation header (0x00 0x00 big endian, 0x00 0x01 little
//     endian, then two option bytes), then the fields, each aligned to its own size counted
//     from the end of the header. Strings carry their terminating NUL in their length.
//   - ROS 1 (.bag files): little endian, packed, no alignment; the header has a sequence
//     number before the stamp; strings carry no NUL; times are unsigned.
// A payload that does not hold exactly one such message is refused as a value; nothing is
// read outside the payload, and the count of a list is checked against the bytes left
// before anything is reserved for it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "frames/geometry/quaternion.hpp"
#include "frames/result.hpp"
#include "quilm_tf/matrix.hpp"

namespace quilm_tf {

enum class TfWireFormat : std::uint8_t { Cdr, Ros1 };

// One transform as the message carries it. The names view the payload, which must outlive
// it. `sec` is the stamp's seconds as sent: signed 32-bit in CDR, unsigned in ROS 1.
struct WireTransform {
  std::int64_t sec = 0;
  std::uint32_t nanosec = 0;
  std::string_view parent;  // header.frame_id
  std::string_view child;   // child_frame_id
  frames::geometry::Vector3 translation;
  QuaternionXyzw rotation;
};

namespace tf_wire_error {
// `needed` bytes of `what` at `offset`, past the payload's end.
struct Truncated { std::size_t offset; std::size_t needed; std::string_view what; };
struct UnknownEncapsulation { std::uint8_t first; std::uint8_t second; };
// A CDR string whose length is zero or whose last byte is not NUL; offsets are the text's.
struct UnterminatedString { std::size_t offset; };
struct NameNotUtf8 { std::size_t offset; };
struct TrailingBytes { std::size_t count; };
}  // namespace tf_wire_error

struct TfWireError {
  std::variant<tf_wire_error::Truncated, tf_wire_error::UnknownEncapsulation,
               tf_wire_error::UnterminatedString, tf_wire_error::NameNotUtf8,
               tf_wire_error::TrailingBytes>
      kind;
};

// "malformed tf message: ..." with the offset counted from the payload's first byte.
std::string to_string(const TfWireError& error);

// Appends the payload's transforms to `out`, in message order. On failure `out` is as it
// was. A CDR payload may end with up to three bytes of padding.
frames::Result<void, TfWireError> decode_tf_message(std::span<const std::byte> payload,
                                                    TfWireFormat format,
                                                    std::vector<WireTransform>& out);

}  // namespace quilm_tf
