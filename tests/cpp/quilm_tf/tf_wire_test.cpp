#include "quilm_tf/tf_wire.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace quilm_tf {
namespace {

// Writes messages the way the recorders do, independently of the decoder.
class Writer {
 public:
  Writer(TfWireFormat format, bool big_endian) : format_(format), big_(big_endian) {
    if (format == TfWireFormat::Cdr) bytes_ = {0, static_cast<std::uint8_t>(big_ ? 0 : 1), 0, 0};
  }
  template <class T>
  Writer& put(T value) {
    if (format_ == TfWireFormat::Cdr) {
      while ((bytes_.size() - 4) % sizeof(T) != 0) bytes_.push_back(0);
    }
    unsigned char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const bool native = big_ == (std::endian::native == std::endian::big);
      bytes_.push_back(raw[native ? i : sizeof(T) - 1 - i]);
    }
    return *this;
  }
  Writer& name(const std::string& text) {
    const bool cdr = format_ == TfWireFormat::Cdr;
    put(static_cast<std::uint32_t>(text.size() + (cdr ? 1 : 0)));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    if (cdr) bytes_.push_back(0);
    return *this;
  }
  Writer& transform(std::uint32_t sec, const std::string& parent, const std::string& child,
                    double base) {
    if (format_ == TfWireFormat::Ros1) put(std::uint32_t{7});
    put(sec).put(std::uint32_t{500}).name(parent).name(child);
    for (int i = 0; i < 7; ++i) put(base + i);
    return *this;
  }
  std::vector<std::uint8_t> bytes_;

 private:
  TfWireFormat format_;
  bool big_;
};

std::span<const std::byte> span_of(const std::vector<std::uint8_t>& bytes, std::size_t size) {
  return {reinterpret_cast<const std::byte*>(bytes.data()), size};
}

std::string decode_text(const std::vector<std::uint8_t>& bytes, TfWireFormat format,
                        std::vector<WireTransform>& out) {
  auto decoded = decode_tf_message(span_of(bytes, bytes.size()), format, out);
  return decoded ? "ok" : to_string(decoded.error());
}

struct Case { TfWireFormat format; bool big_endian; };

class TfWire : public ::testing::TestWithParam<Case> {};

// Names of odd lengths make every padding gap of CDR appear; the unsigned ROS 1 seconds
// past 2^31 and the big-endian doubles come back as written.
TEST_P(TfWire, DecodesEveryTransformAsWritten) {
  const auto [format, big] = GetParam();
  const std::uint32_t late = format == TfWireFormat::Ros1 ? 3'000'000'000u : 1'700'000'000u;
  Writer w(format, big);
  w.put(std::uint32_t{2}).transform(late, "map", "odom_x", 0.5);
  w.transform(9, "/a\xc3\xa9", "b", -2);
  std::vector<WireTransform> out(1);  // decoded transforms are appended
  ASSERT_EQ(decode_text(w.bytes_, format, out), "ok");
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[1].sec, late);
  EXPECT_EQ(out[1].nanosec, 500u);
  EXPECT_EQ(out[1].parent, "map");
  EXPECT_EQ(out[1].child, "odom_x");
  EXPECT_EQ(out[2].parent, "/a\xc3\xa9");
  const WireTransform& t = out[2];
  const double values[] = {t.translation.x, t.translation.y, t.translation.z, t.rotation.x,
                           t.rotation.y,    t.rotation.z,    t.rotation.w};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(values[i], -2.0 + i) << "value " << i;
}

// Every cut of a valid message is refused, in bounds (the sanitizers watch), leaving the
// output as it was.
TEST_P(TfWire, RefusesEveryTruncationAndKeepsTheOutput) {
  const auto [format, big] = GetParam();
  Writer w(format, big);
  w.put(std::uint32_t{2}).transform(1, "map", "odom", 0).transform(2, "odom", "base", 1);
  for (std::size_t size = 0; size < w.bytes_.size(); ++size) {
    std::vector<WireTransform> out(2);
    const auto decoded = decode_tf_message(span_of(w.bytes_, size), format, out);
    ASSERT_FALSE(decoded) << "cut at " << size;
    EXPECT_EQ(out.size(), 2u) << "cut at " << size;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, TfWire,
                         ::testing::Values(Case{TfWireFormat::Cdr, false},
                                           Case{TfWireFormat::Cdr, true},
                                           Case{TfWireFormat::Ros1, false}));

TEST(TfWireMalformed, NamesWhatIsWrongAndWhere) {
  constexpr auto CDR = TfWireFormat::Cdr;
  auto cdr = [] { return Writer(TfWireFormat::Cdr, false); };
  auto one = [&](const char* parent) {
    return cdr().put(std::uint32_t{1}).transform(1, parent, "o", 0).bytes_;
  };
  std::vector<std::uint8_t> unterminated = one("m");
  unterminated[21] = 'x';  // the NUL of "m": length at 16, text from 20
  const std::vector<std::uint8_t> not_utf8 = one("\xc0\xaf");  // an overlong "/"
  std::vector<std::uint8_t> padded = cdr().put(std::uint32_t{0}).bytes_;
  padded.insert(padded.end(), 3, 0);
  std::vector<std::uint8_t> trailing = padded;
  trailing.push_back(0);
  const std::vector<std::uint8_t> huge_count = cdr().put(std::uint32_t{0xffffffff}).bytes_;
  const std::vector<std::uint8_t> xcdr2 = {0, 7, 0, 0, 0, 0, 0, 0};
  const std::string M = "malformed tf message: ";
  const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
      {{0, 1}, M + "it ends at byte 0, 4 bytes short of its encapsulation header"},
      {xcdr2, M + "unknown CDR encapsulation 0 7 (expected 0 0 or 0 1)"},
      {huge_count, M + "it ends at byte 8, 292057776060 bytes short of its transforms"},
      {unterminated, M + "the string at byte 20 is not NUL-terminated"},
      {not_utf8, M + "the name at byte 20 is not valid UTF-8"},
      {padded, "ok"},
      {trailing, M + "4 bytes follow the message"},
  };
  for (const auto& [bytes, expected] : cases) {
    std::vector<WireTransform> out;
    EXPECT_EQ(decode_text(bytes, CDR, out), expected);
  }
  std::vector<WireTransform> out;
  const auto ros1 =
      Writer(TfWireFormat::Ros1, false).put(std::uint32_t{0}).put(std::uint8_t{0}).bytes_;
  EXPECT_EQ(decode_text(ros1, TfWireFormat::Ros1, out), M + "1 bytes follow the message");
}

}  // namespace
}  // namespace quilm_tf
