// def require_frame(actual: str, expected: str, interface: str) -> None:
//     if actual != expected:
//         raise FrameError(f'{interface} requires frame "{expected}", got "{actual}"')

#include "quilm_tf_py/frame.hpp"

#include <string_view>

#include "quilm_tf/frame.hpp"
#include "quilm_tf_py/args.hpp"
#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/functions.hpp"
#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {
namespace {

constexpr const char* REQUIRE_FRAME_PARAMS[] = {"actual", "expected", "interface"};

PyObject* require_frame(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[3];
    if (!parse_args("require_frame", args, nargs, kwnames, REQUIRE_FRAME_PARAMS, 3, values)) {
      return Raised{};
    }
    std::string_view actual;
    std::string_view expected;
    std::string_view interface;
    if (!convert_arg(to_str, values[0], "actual", &actual) ||
        !convert_arg(to_str, values[1], "expected", &expected) ||
        !convert_arg(to_str, values[2], "interface", &interface)) {
      return Raised{};
    }
    auto checked = quilm_tf::require_frame(actual, expected, interface);
    if (!checked) {
      return raise(checked.error());
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef require_frame_def = {
    "require_frame",
    as_cfunction(require_frame),
    METH_FASTCALL | METH_KEYWORDS,
    "require_frame(actual, expected, interface)\n--\n\n",
};

}  // namespace

PyObject* new_require_frame_function(PyObject* module) {
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) {
    return nullptr;
  }
  return PyCFunction_NewEx(&require_frame_def, module, module_name.get());
}

}  // namespace quilm_tf_py
