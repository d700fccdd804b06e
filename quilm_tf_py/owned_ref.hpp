#pragma once

// One strong reference to a Python object, dropped when the owner goes. Move-only; empty
// (nullptr) after a failed call, a move or release(). Raw PyObject* elsewhere in the
// binding means a borrowed reference.
//
// At exit the interpreter ends a daemon thread that tries to take the GIL back (after Python
// code it ran slept, did I/O or was switched out) by unwinding its stack by force: glibc's
// abi::__forced_unwind, which must pass every frame and never be swallowed. Such an unwind
// can start inside any call of ours that runs Python code, so those calls are not noexcept,
// and the thread no longer holds the GIL while it runs our destructors: from then on they
// leak their references instead of dropping them. The process is exiting, so the leak is
// harmless, whereas touching an object without the GIL is not.

#include <Python.h>
#include <cxxabi.h>

#include <atomic>
#include <utility>

namespace quilm_tf_py {

// Set on a thread once the interpreter has begun ending it; never cleared, since the thread
// does not come back. Read without the GIL. The process-wide flag spares every check a
// thread-local lookup until some thread has been marked, which happens only at exit.
inline std::atomic<bool> some_thread_ending{false};
inline thread_local bool this_thread_marked = false;

inline bool thread_ending() noexcept {
  return some_thread_ending.load(std::memory_order_relaxed) && this_thread_marked;
}

// Runs `body`, which may run Python code; if the interpreter ends the thread inside it,
// marks the thread before the unwind reaches the caller's destructors, and lets it pass.
// Wrap every call that can run Python code while references are owned above it; anything
// else is caught by the same handler in each entry point (guarded), one frame later.
// A forced unwind carries no C++ object, so the handler's reference is bound to null: the
// undefined-behaviour sanitizer's null check would end the thread's unwind with a false
// report, hence it is off here and in guarded.
template <class F>
[[gnu::no_sanitize("null")]] decltype(auto) run_python(F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (abi::__forced_unwind&) {
    some_thread_ending.store(true, std::memory_order_relaxed);
    this_thread_marked = true;
    throw;
  }
}

class OwnedRef {
 public:
  OwnedRef() noexcept = default;

  // Takes over a new reference (or nullptr from a failed call).
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Adds a reference of its own to a borrowed object.
  static OwnedRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    // Decref last: it may run arbitrary Python code that looks at *this.
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    if (old != nullptr && !thread_ending()) {
      Py_DECREF(old);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  // noexcept, as containers of references need: a finalizer that the interpreter ends in
  // here ends the process. Where released objects may well have finalizers (messages),
  // drop the reference with release_now instead.
  ~OwnedRef() {
    if (object_ != nullptr && !thread_ending()) {
      Py_DECREF(object_);
    }
  }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to an API that steals it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

// Drops the reference now, letting the interpreter end the thread inside a finalizer it runs.
inline void release_now(OwnedRef& ref) {
  PyObject* object = ref.release();
  if (object != nullptr && !thread_ending()) {
    run_python([object] { Py_DECREF(object); });
  }
}

// release_now for every reference of a container, first to last; the container keeps its
// (empty) entries.
template <class Container>
void release_all(Container& refs) {
  for (OwnedRef& ref : refs) {
    release_now(ref);
  }
}

// Stores a process-wide object built on first use and returns the stored one. Building it
// can run Python code, which may switch threads and let another thread publish first: the
// first one published stays, a later one is dropped. Null, with the error set, when
// `created` is empty.
inline PyObject* publish_once(PyObject*& slot, OwnedRef created) {
  if (!created) {
    return nullptr;
  }
  if (slot == nullptr) {
    slot = created.release();
  }
  return slot;
}

}  // namespace quilm_tf_py
