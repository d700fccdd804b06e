import pytest

from quilm_tf._native import FrameError, require_frame


@pytest.mark.parametrize(
    "name",
    ["map", "", " map ", "/map", "a/b", "ça va", 'q"uote'],
)
def test_equal_names_pass(name):
    assert require_frame(name, name, "lidar") is None


@pytest.mark.parametrize(
    ("actual", "expected"),
    [
        ("/map", "map"),  # no normalisation: a leading slash makes a different name
        ("map", "/map"),
        ("Map", "map"),
        ("map ", "map"),
        ("", "map"),
    ],
)
def test_names_that_differ_in_any_byte_raise(actual, expected):
    with pytest.raises(FrameError):
        require_frame(actual, expected, "lidar")


@pytest.mark.parametrize(
    ("actual", "expected", "interface", "message"),
    [
        ("map", "base_link", "lidar", 'lidar requires frame "base_link", got "map"'),
        ("a", "b", "", ' requires frame "b", got "a"'),
        ("", "b", "cam", 'cam requires frame "b", got ""'),
        # Quotes, backslashes and control characters are escaped inside the quoted names.
        ('say "hi"', "x", "c", 'c requires frame "x", got "say \\"hi\\""'),
        ("line\nfeed", "x", "c", 'c requires frame "x", got "line\\nfeed"'),
        ("tab\there", "back\\slash", "c", 'c requires frame "back\\\\slash", got "tab\\there"'),
        ("nul\0", "cr\r", "c", 'c requires frame "cr\\r", got "nul\\0"'),
        ("bell\x07", "x", "c", 'c requires frame "x", got "bell\\u{7}"'),
        # Printable non-ASCII text and single quotes are written as they are.
        ("ça", "l'autre", "c", "c requires frame \"l'autre\", got \"ça\""),
        # The interface is inserted unchanged: never quoted, never escaped.
        ("a", "b", 'odd "name"\n', 'odd "name"\n requires frame "b", got "a"'),
    ],
)
def test_mismatch_message(actual, expected, interface, message):
    with pytest.raises(FrameError) as info:
        require_frame(actual, expected, interface)
    assert info.value.args == (message,)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    "kwargs",
    [
        {"actual": "map", "expected": "odom", "interface": "x"},
        {"interface": "x", "expected": "odom", "actual": "map"},
        {"expected": "odom", "interface": "x", "actual": "map"},
    ],
)
def test_keywords_in_any_order_match_positional_call(kwargs):
    with pytest.raises(FrameError) as positional:
        require_frame("map", "odom", "x")
    with pytest.raises(FrameError) as by_keyword:
        require_frame(**kwargs)
    assert by_keyword.value.args == positional.value.args


def test_mixed_positional_and_keyword():
    assert require_frame("map", interface="x", expected="map") is None


@pytest.mark.parametrize(
    ("args", "bad"),
    [
        ((1, "map", "x"), "actual"),
        (("map", 1, "x"), "expected"),
        (("map", "odom", None), "interface"),
        # Conversion runs in parameter order: the first bad one is reported, and the
        # check itself never runs (these names differ, yet no FrameError).
        ((b"map", 2, 3), "actual"),
        (("map", b"odom", 3), "expected"),
    ],
)
def test_non_str_argument_raises_type_error_for_the_first_bad_parameter(args, bad):
    with pytest.raises(TypeError) as info:
        require_frame(*args)
    assert info.value.__notes__ == [f"while processing '{bad}'"]


def test_unencodable_str_raises_the_encoding_error_with_the_note():
    with pytest.raises(UnicodeEncodeError) as info:
        require_frame("map", "\ud800", "x")
    assert info.value.__notes__ == ["while processing 'expected'"]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: require_frame("a", "b"), "require_frame() missing required argument 'interface' (pos 3)"),
        (lambda: require_frame("a", "b", "c", "d"), "require_frame() takes exactly 3 positional arguments (4 given)"),
        (lambda: require_frame("a", "b", "c", frame="d"), "require_frame() got an unexpected keyword argument 'frame'"),
        (lambda: require_frame("a", "b", "c", expected="d"), "argument for require_frame() given by name ('expected') and position (2)"),
    ],
)
def test_binding_errors_name_the_function_and_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_text_signature():
    import inspect

    assert str(inspect.signature(require_frame)) == "(actual, expected, interface)"
    assert require_frame.__module__ == "quilm_tf._native"
