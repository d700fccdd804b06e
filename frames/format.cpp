#include "frames/format.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>

namespace frames {

void append_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest round-trip digits and their exponent come from the scientific form.
  // Fixed notation is not the same text: where the shortest digits end above the units
  // (beyond 2^53), it writes the exact binary value, 1152921504606846976 for 2^60 where
  // 1152921504606847000 is shorter and reads back just as well.
  char buffer[32];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  (void)ec;  // "-d.ddddddddddddddde-308" fits easily
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  char digit_buffer[17];  // a double never needs more than 17 significant digits
  std::size_t count = 0;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digit_buffer[count++] = c;
  }
  const std::string_view digits(digit_buffer, count);
  int exponent = 0;
  (void)std::from_chars(text.data() + e + 2, end, exponent);
  if (text[e + 1] == '-') exponent = -exponent;
  // The first digit stands for 10^exponent: the point goes after `whole` digits.
  const int whole = exponent + 1;
  if (whole <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-whole), '0');
    out += digits;
  } else if (static_cast<std::size_t>(whole) >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(whole) - count, '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(whole));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(whole));
  }
}

std::string format_number(double value) {
  std::string out;
  append_number(out, value);
  return out;
}

}  // namespace frames
