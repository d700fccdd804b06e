#include "quilm_tf/quoted.hpp"

#include "frames/escape.hpp"

namespace quilm_tf {

void append_quoted(std::string& out, std::string_view name) {
  out += '"';
  frames::append_escaped(out, name);
  out += '"';
}

std::string quoted(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  append_quoted(out, name);
  return out;
}

}  // namespace quilm_tf
