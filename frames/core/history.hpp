#pragma once

// The history of one child frame: every transform from its single parent, keyed by stamp.

#include <string>
#include <variant>

#include "frames/geometry/transform.hpp"

namespace frames::core {

namespace buffer_error {
struct Empty {};
struct MixedStaticDynamic {};
struct SelfParent {};
struct Reparenting { std::string parent; };  // the parent already stored
struct ChildMismatch { std::string child; };  // the child already stored
struct Cycle {};
struct TransformFailure { geometry::TransformError error; };
}  // namespace buffer_error

struct BufferError {
  std::variant<buffer_error::Empty, buffer_error::MixedStaticDynamic, buffer_error::SelfParent,
               buffer_error::Reparenting, buffer_error::ChildMismatch, buffer_error::Cycle,
               buffer_error::TransformFailure>
      kind;
};

std::string to_string(const BufferError& error);
void append_to(std::string& out, const BufferError& error);

}  // namespace frames::core
