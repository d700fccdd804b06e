"""The extension's surface: what it defines, against its type stub, and how it binds arguments."""

import ast
import importlib.util
import inspect
from pathlib import Path

import pytest

import quilm_tf
import quilm_tf._native as native
from quilm_tf._native import MessageFilter, TransformBuffer, require_frame

STUB = ast.parse(Path(native.__file__).with_name("_native.pyi").read_text(encoding="utf-8"))
DEFINITIONS = [node for node in STUB.body if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and node.name[0] != "_"]


def stub_parameters(function):
    """(name, default) of each parameter after self or cls."""
    args = function.args.args
    defaults = [inspect.Parameter.empty] * (len(args) - len(function.args.defaults))
    defaults += [ast.literal_eval(value) for value in function.args.defaults]
    return [(arg.arg, default) for arg, default in zip(args, defaults) if arg.arg not in ("self", "cls")]


def parameters(callable_object):
    signature = inspect.signature(callable_object)
    return [(p.name, p.default) for p in signature.parameters.values() if p.name != "self"]


def stub_members(cls):
    """(name, parameters) of each public member in order; None for properties and constants."""
    out = []
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            is_property = any(getattr(d, "id", None) == "property" for d in node.decorator_list)
            out.append((node.name, None if is_property else stub_parameters(node)))
        elif isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
            out.append((node.target.id, None))
    return out


def test_the_module_defines_what_its_stub_declares_in_order():
    assert native.__file__.endswith(".abi3.so")
    declared = [node.name for node in DEFINITIONS]
    assert [name for name in vars(native) if not name.startswith("_")] == native.__all__ == declared
    assert quilm_tf.__all__[: len(declared)] == declared  # the package's own functions follow
    assert all(getattr(quilm_tf, name) is getattr(native, name) for name in declared)


@pytest.mark.parametrize("node", DEFINITIONS, ids=lambda node: node.name)
def test_each_definition_matches_the_stub(node):
    found = getattr(native, node.name)
    if isinstance(node, ast.FunctionDef):
        assert parameters(found) == stub_parameters(node)
        return
    assert found.__module__ == "quilm_tf._native"
    assert [base.__name__ for base in found.__bases__] == ([base.id for base in node.bases] or ["object"])
    new = [member for member in node.body if getattr(member, "name", None) == "__new__"]
    if new:
        assert parameters(found) == stub_parameters(new[0])
    members = [
        (name, parameters(value) if callable(value) else None)
        for name, value in vars(found).items()
        if not name.startswith("_")
    ]
    assert members == stub_members(node)


def test_a_second_module_object_shares_the_process_wide_types():
    again = importlib.util.module_from_spec(native.__spec__)
    native.__spec__.loader.exec_module(again)
    assert again is not native and again.__all__ == native.__all__
    assert all(getattr(again, name) is getattr(native, name) for name in native.__all__ if name != "require_frame")
    with pytest.raises(native.FrameError):  # raised through one module object, caught through the other
        again.require_frame("a", "b", "c")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda b: require_frame("a", "b"), "require_frame() missing required argument 'interface' (pos 3)"),
        (lambda b: TransformBuffer(), "TransformBuffer() missing required argument 'history_seconds' (pos 1)"),
        (lambda b: require_frame("a", "b", "c", "d"), "require_frame() takes exactly 3 positional arguments (4 given)"),
        (lambda b: TransformBuffer(1.0, 2.0), "TransformBuffer() takes exactly 1 positional argument (2 given)"),
        (lambda b: b.insert_transform("a", "b", [], 1, False, 2), "insert_transform() takes at most 5 positional arguments (6 given)"),
        (lambda b: b.insert_transform_stamped(None, static=True), "insert_transform_stamped() got an unexpected keyword argument 'static'"),
        (lambda b: TransformBuffer(history=1.0), "TransformBuffer() got an unexpected keyword argument 'history'"),
        (lambda b: b.lookup("a", "b", 1, from_frame="c"), "argument for lookup() given by name ('from_frame') and position (1)"),
        (lambda b: MessageFilter(b, "map", 1, queue_size=2), "argument for MessageFilter() given by name ('queue_size') and position (3)"),
    ],
)
def test_binding_errors_use_the_interpreters_wording(buffer, refused, call, message):
    refused(lambda: call(buffer), TypeError, message)
