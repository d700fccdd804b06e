#pragma once

// Native loops run with the interpreter lock released, so that other Python threads run
// meanwhile. The order is fixed: release the GIL, then take the service lock, compute, drop
// the service lock, then take the GIL back. The reverse order could deadlock: a thread that
// holds the GIL may be waiting for the service's exclusive side to insert. Everything the
// work needs from Python objects is read before the GIL goes; the work touches no Python
// object, raises nothing, and hands its failures back as values.

#include <Python.h>

#include <utility>

#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {

class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;
  // Only an exception leaving the work (std::bad_alloc) gets here holding no GIL.
  ~GilReleased() {
    if (state_ != nullptr) {
      PyEval_RestoreThread(state_);
    }
  }

  // Takes the GIL back. A finalising interpreter ends the thread in here, so the normal path
  // calls this rather than leaving it to the destructor.
  void restore() {
    if (state_ != nullptr) {
      PyThreadState* state = std::exchange(state_, nullptr);
      run_python([state] { PyEval_RestoreThread(state); });
    }
  }

 private:
  PyThreadState* state_;
};

// Runs `work` without the GIL and returns its result with the GIL held again.
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
  GilReleased released;
  auto result = std::forward<F>(work)();
  released.restore();
  return result;
}

}  // namespace quilm_tf_py
