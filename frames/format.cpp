#include "frames/format.hpp"

#include <charconv>
#include <cmath>

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
  // Fixed notation without a precision is the shortest round trip; the largest finite
  // double needs 309 digits before the point, the smallest subnormal 1074 after it.
  char buffer[1100];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  (void)ec;  // the buffer holds every finite double
  out.append(buffer, end);
}

std::string format_number(double value) {
  std::string out;
  append_number(out, value);
  return out;
}

}  // namespace frames
