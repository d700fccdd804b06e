#include "quilm_tf/frame.hpp"

#include "quilm_tf/quoted.hpp"

namespace quilm_tf {

std::string to_string(const FrameError& error) {
  std::string out;
  out.reserve(error.interface.size() + error.expected.size() + error.actual.size() + 24);
  out += error.interface;
  out += " requires frame ";
  append_quoted(out, error.expected);
  out += ", got ";
  append_quoted(out, error.actual);
  return out;
}

frames::Result<void, FrameError> require_frame(std::string_view actual, std::string_view expected,
                                               std::string_view interface) {
  if (actual == expected) {
    return {};
  }
  return frames::Unexpected{
      FrameError{std::string(actual), std::string(expected), std::string(interface)}};
}

}  // namespace quilm_tf
