#include "quilm_tf/tf_wire.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <utility>

namespace quilm_tf {
namespace {

using frames::Unexpected;

// No transform takes fewer bytes: two empty names and seven doubles take 74 in CDR
// (stamp 8, names 4 + 1 each, doubles 56) and 76 in ROS 1. A list count above
// bytes_left / this cannot be right, and is refused before anything is reserved.
constexpr std::size_t SMALLEST_TRANSFORM = 68;

bool is_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = b0 >= 0xc2 && b0 <= 0xdf   ? 2
                               : b0 >= 0xe0 && b0 <= 0xef ? 3
                               : b0 >= 0xf0 && b0 <= 0xf4 ? 4
                                                          : 0;
    if (length == 0 || text.size() - i < length) return false;
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    // The second byte's range rules out overlong forms, surrogates and code points past
    // U+10FFFF; the rest are plain continuation bytes.
    const unsigned char low = b0 == 0xe0 ? 0xa0 : b0 == 0xf0 ? 0x90 : 0x80;
    const unsigned char high = b0 == 0xed ? 0x9f : b0 == 0xf4 ? 0x8f : 0xbf;
    if (b1 < low || b1 > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

class Reader {
 public:
  Reader(std::span<const std::byte> payload, TfWireFormat format) noexcept
      : data_(payload), format_(format) {}

  // The CDR encapsulation header; alignment then counts from its end.
  std::optional<TfWireError> start() noexcept {
    if (format_ == TfWireFormat::Ros1) return std::nullopt;
    if (data_.size() < 4) return truncated(4, "encapsulation header");
    const auto first = std::to_integer<std::uint8_t>(data_[0]);
    const auto second = std::to_integer<std::uint8_t>(data_[1]);
    if (first != 0 || second > 1) {
      return TfWireError{tf_wire_error::UnknownEncapsulation{first, second}};
    }
    big_endian_ = second == 0;
    origin_ = pos_ = 4;
    return std::nullopt;
  }

  std::size_t left() const noexcept { return data_.size() - pos_; }
  std::size_t pos() const noexcept { return pos_; }

  template <class T>
  std::optional<TfWireError> read(T& out, std::string_view what) noexcept {
    if (format_ == TfWireFormat::Cdr) {
      // Alignment is counted from the origin, which is 4: a padding gap is up to 7 bytes.
      const std::size_t misaligned = (pos_ - origin_) % sizeof(T);
      if (misaligned != 0) {
        const std::size_t padding = sizeof(T) - misaligned;
        if (left() < padding) return truncated(padding, what);
        pos_ += padding;
      }
    }
    if (left() < sizeof(T)) return truncated(sizeof(T), what);
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, data_.data() + pos_, sizeof(T));
    if (big_endian_ != (std::endian::native == std::endian::big)) {
      for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
    }
    std::memcpy(&out, bytes, sizeof(T));
    pos_ += sizeof(T);
    return std::nullopt;
  }

  std::optional<TfWireError> read_name(std::string_view& out, std::string_view what) noexcept {
    std::uint32_t length = 0;
    if (auto error = read(length, what)) return error;
    const std::size_t at = pos_;
    if (left() < length) return truncated(length, what);
    std::size_t text_length = length;
    if (format_ == TfWireFormat::Cdr) {
      if (length == 0 || data_[pos_ + length - 1] != std::byte{0}) {
        return TfWireError{tf_wire_error::UnterminatedString{at}};
      }
      --text_length;
    }
    out = std::string_view(reinterpret_cast<const char*>(data_.data() + at), text_length);
    if (!is_utf8(out)) return TfWireError{tf_wire_error::NameNotUtf8{at}};
    pos_ += length;
    return std::nullopt;
  }

  std::optional<TfWireError> finish() const noexcept {
    // rosbag2 writers may pad a CDR message to a multiple of four bytes.
    const std::size_t allowed = format_ == TfWireFormat::Cdr ? 3 : 0;
    if (left() > allowed) return TfWireError{tf_wire_error::TrailingBytes{left()}};
    return std::nullopt;
  }

 private:
  TfWireError truncated(std::size_t needed, std::string_view what) const noexcept {
    return TfWireError{tf_wire_error::Truncated{pos_, needed, what}};
  }

  std::span<const std::byte> data_;
  TfWireFormat format_;
  bool big_endian_ = false;
  std::size_t origin_ = 0;
  std::size_t pos_ = 0;
};

std::optional<TfWireError> read_transform(Reader& in, TfWireFormat format, WireTransform& t) {
  if (format == TfWireFormat::Ros1) {
    std::uint32_t seq = 0;
    std::uint32_t sec = 0;
    if (auto error = in.read(seq, "header.seq")) return error;
    if (auto error = in.read(sec, "header.stamp.sec")) return error;
    t.sec = sec;
  } else {
    std::int32_t sec = 0;
    if (auto error = in.read(sec, "header.stamp.sec")) return error;
    t.sec = sec;
  }
  if (auto error = in.read(t.nanosec, "header.stamp.nanosec")) return error;
  if (auto error = in.read_name(t.parent, "header.frame_id")) return error;
  if (auto error = in.read_name(t.child, "child_frame_id")) return error;
  double* values[] = {&t.translation.x, &t.translation.y, &t.translation.z, &t.rotation.x,
                      &t.rotation.y,    &t.rotation.z,    &t.rotation.w};
  for (double* value : values) {
    if (auto error = in.read(*value, "transform")) return error;
  }
  return std::nullopt;
}

}  // namespace

std::string to_string(const TfWireError& error) {
  struct Visitor {
    std::string out = "malformed tf message: ";
    void operator()(const tf_wire_error::Truncated& e) {
      out += "it ends at byte " + std::to_string(e.offset) + ", " + std::to_string(e.needed) +
             " bytes short of its " + std::string(e.what);
    }
    void operator()(const tf_wire_error::UnknownEncapsulation& e) {
      out += "unknown CDR encapsulation " + std::to_string(e.first) + " " +
             std::to_string(e.second) + " (expected 0 0 or 0 1)";
    }
    void operator()(const tf_wire_error::UnterminatedString& e) {
      out += "the string at byte " + std::to_string(e.offset) + " is not NUL-terminated";
    }
    void operator()(const tf_wire_error::NameNotUtf8& e) {
      out += "the name at byte " + std::to_string(e.offset) + " is not valid UTF-8";
    }
    void operator()(const tf_wire_error::TrailingBytes& e) {
      out += std::to_string(e.count) + " bytes follow the message";
    }
  };
  Visitor visitor;
  std::visit(visitor, error.kind);
  return std::move(visitor.out);
}

frames::Result<void, TfWireError> decode_tf_message(std::span<const std::byte> payload,
                                                    TfWireFormat format,
                                                    std::vector<WireTransform>& out) {
  const std::size_t before = out.size();
  auto fail = [&](TfWireError&& error) {
    out.resize(before);
    return Unexpected{std::move(error)};
  };
  Reader in(payload, format);
  if (auto error = in.start()) return fail(std::move(*error));
  std::uint32_t count = 0;
  if (auto error = in.read(count, "transforms count")) return fail(std::move(*error));
  if (count > in.left() / SMALLEST_TRANSFORM) {
    return fail(TfWireError{tf_wire_error::Truncated{
        in.pos(), std::size_t{count} * SMALLEST_TRANSFORM - in.left(), "transforms"}});
  }
  out.reserve(before + count);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (auto error = read_transform(in, format, out.emplace_back())) {
      return fail(std::move(*error));
    }
  }
  if (auto error = in.finish()) return fail(std::move(*error));
  return {};
}

}  // namespace quilm_tf
