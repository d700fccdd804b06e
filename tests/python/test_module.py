import importlib
import importlib.util

import pytest

import quilm_tf._native as native

PUBLIC = [
    "TransformBuffer",
    "MessageFilter",
    "FilterFailureReason",
    "require_frame",
    "TransformError",
    "FrameError",
]


def test_module_is_the_extension_with_an_empty_docstring():
    assert native.__doc__ == ""
    assert native.__name__ == "quilm_tf._native"
    assert importlib.import_module("quilm_tf._native") is native
    assert native.__file__.endswith(".abi3.so")


def test_public_attributes_in_order_and_nothing_else():
    assert native.__all__ == PUBLIC
    assert type(native.__all__) is list
    own = [name for name in vars(native) if not (name.startswith("__") and name.endswith("__"))]
    assert own == PUBLIC


def test_second_module_object_shares_the_process_wide_types():
    spec = native.__spec__
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not native
    assert again.__all__ == PUBLIC
    for name in PUBLIC:
        if name != "require_frame":
            assert getattr(again, name) is getattr(native, name)
    # An exception raised through one module object is caught through the other.
    with pytest.raises(native.FrameError):
        again.require_frame("a", "b", "c")


@pytest.mark.parametrize("name", ["TransformError", "FrameError"])
def test_exception_types(name):
    error = getattr(native, name)
    assert error.__module__ == "quilm_tf._native"
    assert error.__name__ == name
    assert error.__qualname__ == name
    assert error.__doc__ == ""
    assert error.__bases__ == (Exception,)
    assert not issubclass(error, ValueError)


def test_exception_types_are_unrelated():
    assert not issubclass(native.TransformError, native.FrameError)
    assert not issubclass(native.FrameError, native.TransformError)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: native.TransformBuffer(1.0).lookup("odom", "map", 5), native.TransformError, None),
        (lambda: native.require_frame("a", "b", "c"), native.FrameError, 'c requires frame "b", got "a"'),
        (lambda: native.TransformBuffer(-1.0), ValueError, "history_seconds must be finite and non-negative"),
    ],
)
def test_module_exceptions_carry_one_message_argument(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert len(info.value.args) == 1
    assert isinstance(info.value.args[0], str)
    assert str(info.value) == info.value.args[0]
    if message is not None:
        assert info.value.args[0] == message


def test_internal_error_type_is_not_exported():
    assert "InternalError" not in vars(native)


def test_types_are_not_subclassable():
    for name in ("TransformBuffer", "FilterFailureReason"):
        with pytest.raises(TypeError):
            type("Sub", (getattr(native, name),), {})


def test_package_reexports_the_extension_surface():
    import quilm_tf

    assert quilm_tf.__all__ == native.__all__
    for name in native.__all__:
        assert getattr(quilm_tf, name) is getattr(native, name)
