#include "frames/core/history.hpp"

namespace frames::core {

void append_to(std::string& out, const BufferError& error) {
  struct Visitor {
    std::string& out;
    void operator()(const buffer_error::Empty&) { out += "the buffer holds no transforms"; }
    void operator()(const buffer_error::MixedStaticDynamic&) {
      out += "cannot mix static and dynamic transforms for the same child frame";
    }
    void operator()(const buffer_error::SelfParent&) { out += "a frame cannot be its own parent"; }
    void operator()(const buffer_error::Reparenting& e) {
      out += "re-parenting is not supported (the child frame's parent is ";
      out += e.parent;
      out += ')';
    }
    void operator()(const buffer_error::ChildMismatch& e) {
      out += "the buffer already stores a different child frame (";
      out += e.child;
      out += ')';
    }
    void operator()(const buffer_error::Cycle&) {
      out += "inserting the transform would create a cycle in the frame tree";
    }
    void operator()(const buffer_error::TransformFailure& e) {
      out += "transform error: ";
      geometry::append_to(out, e.error);
    }
  };
  std::visit(Visitor{out}, error.kind);
}

std::string to_string(const BufferError& error) {
  std::string out;
  append_to(out, error);
  return out;
}

}  // namespace frames::core
