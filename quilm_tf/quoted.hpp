#pragma once

// The quoted form of a name in user-facing messages: between double quotes, with
// backslash escapes for '"' and '\\', \t \r \n \0, and \u{hex} for every other character
// that is not printable or that is a combining mark. Input is UTF-8; a byte that does not
// start a well-formed sequence is written as \u{hex} of the byte's value, so the result is
// always valid UTF-8.

#include <string>
#include <string_view>

namespace quilm_tf {

void append_quoted(std::string& out, std::string_view name);
std::string quoted(std::string_view name);

}  // namespace quilm_tf
