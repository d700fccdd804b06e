#pragma once

// Helpers shared by the C++ tests.

#include <string>

#include "frames/result.hpp"

namespace testing_support {

// "ok", or the error's text: tables compare every outcome as one string.
template <class T, class E>
std::string text(const frames::Result<T, E>& result) {
  return result ? "ok" : to_string(result.error());
}

}  // namespace testing_support
