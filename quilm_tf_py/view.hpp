#pragma once

// One buffer-protocol view of an object, released when the owner goes.

#include <Python.h>

#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {

class View {
 public:
  View() noexcept = default;
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View() {
    // A thread the interpreter is ending no longer holds the GIL: leak the view.
    if (held_ && !thread_ending()) {
      PyBuffer_Release(&view_);
    }
  }

  // An exporter may run Python code (a class with __buffer__).
  bool acquire(PyObject* object, int flags) {
    held_ = run_python([&] { return PyObject_GetBuffer(object, &view_, flags); }) == 0;
    return held_;
  }
  const Py_buffer& operator*() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace quilm_tf_py
