#pragma once

// How every message writes a name: printable characters as they are, backslash escapes for
// '"' and '\\', \t \r \n \0, and \u{hex} for every other character that is not printable
// or that is a combining mark. Input is UTF-8; a byte that does not start a well-formed
// sequence is written as \u{hex} of the byte's value, so the result is always valid UTF-8.
// A name can thus neither start a new line in a log nor carry a terminal control sequence.

#include <string>
#include <string_view>

namespace frames {

void append_escaped(std::string& out, std::string_view name);

}  // namespace frames
