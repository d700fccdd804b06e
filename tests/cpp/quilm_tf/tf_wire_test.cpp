#include "quilm_tf/tf_wire.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tf_wire_writer.hpp"

namespace quilm_tf {
namespace {

using tf_wire_testing::Writer;

std::string decode_text(const std::vector<std::uint8_t>& bytes, TfWireFormat format,
                        std::vector<WireTransform>& out) {
  const auto* data = reinterpret_cast<const std::byte*>(bytes.data());
  auto decoded = decode_tf_message({data, bytes.size()}, format, out);
  return decoded ? "ok" : to_string(decoded.error());
}

// A transform whose seven doubles are base, base + 1, ... in wire order.
WireTransform link(std::int64_t sec, std::string_view parent, std::string_view child,
                   double base) {
  return {sec, 500, parent, child, {base, base + 1, base + 2},
          {base + 3, base + 4, base + 5, base + 6}};
}

struct Case { TfWireFormat format; bool big_endian; };

class TfWire : public ::testing::TestWithParam<Case> {};

// Names of odd lengths make every padding gap of CDR appear; the unsigned ROS 1 seconds
// past 2^31 and the big-endian doubles come back as written.
TEST_P(TfWire, DecodesEveryTransformAsWritten) {
  const auto [format, big] = GetParam();
  const std::uint32_t late = format == TfWireFormat::Ros1 ? 3'000'000'000u : 1'700'000'000u;
  const WireTransform first = link(late, "map", "odom_x", 0.5);
  const WireTransform second = link(9, "/a\xc3\xa9", "b", -2);
  Writer w(format, big);
  w.put(std::uint32_t{2}).transform(first).transform(second);
  std::vector<WireTransform> out(1);  // decoded transforms are appended
  ASSERT_EQ(decode_text(w.bytes_, format, out), "ok");
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(tf_wire_testing::same(out[1], first));
  EXPECT_TRUE(tf_wire_testing::same(out[2], second));
}

// Every cut of a valid message is refused, in bounds (the sanitizers watch), leaving the
// output as it was.
TEST_P(TfWire, RefusesEveryTruncationAndKeepsTheOutput) {
  const auto [format, big] = GetParam();
  Writer w(format, big);
  w.put(std::uint32_t{2}).transform(link(1, "map", "odom", 0));
  w.transform(link(2, "odom", "base", 1));
  for (std::size_t size = 0; size < w.bytes_.size(); ++size) {
    std::vector<WireTransform> out(2);
    const auto decoded = decode_tf_message(w.payload(size), format, out);
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
    return cdr().put(std::uint32_t{1}).transform(link(1, parent, "o", 0)).bytes_;
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
