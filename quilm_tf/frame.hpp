#pragma once

// A guard for data that must be expressed in one frame: equal names (byte for byte, no
// normalisation) pass, anything else is a FrameError.

#include <string>
#include <string_view>

#include "frames/result.hpp"

namespace quilm_tf {

struct FrameError {
  std::string actual;
  std::string expected;
  std::string interface;  // who requires the frame; shown unquoted
};

// "{interface} requires frame {expected}, got {actual}", frames in quoted form.
std::string to_string(const FrameError& error);

frames::Result<void, FrameError> require_frame(std::string_view actual, std::string_view expected,
                                               std::string_view interface);

}  // namespace quilm_tf
