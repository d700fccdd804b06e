#pragma once

// The quoted form of a name in user-facing messages: the escaped name (frames/escape.hpp)
// between double quotes.

#include <string>
#include <string_view>

namespace quilm_tf {

void append_quoted(std::string& out, std::string_view name);
std::string quoted(std::string_view name);

}  // namespace quilm_tf
