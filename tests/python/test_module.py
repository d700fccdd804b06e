import importlib

import quilm_tf._native as native


def test_module_is_the_extension_with_an_empty_docstring():
    assert native.__doc__ == ""
    assert native.__name__ == "quilm_tf._native"
    assert importlib.import_module("quilm_tf._native") is native
    assert native.__file__.endswith(".abi3.so")
