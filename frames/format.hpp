#pragma once

// The one number format of every message: the shortest decimal text that reads back
// as the same double, positional (never an exponent), "2" rather than "2.0", and
// "inf", "-inf" or "NaN" for non-finite values.

#include <string>

namespace frames {

void append_number(std::string& out, double value);
std::string format_number(double value);

}  // namespace frames
