import pytest

from quilm_tf._native import FrameError, require_frame


@pytest.mark.parametrize(
    ("actual", "expected", "interface", "message"),
    [
        ("", "", "lidar", None),
        ("/map", "/map", "lidar", None),
        ("ça va", "ça va", "lidar", None),
        # No normalisation: a leading slash or a trailing blank makes another name.
        ("/map", "map", "lidar", 'lidar requires frame "map", got "/map"'),
        ("map ", "map", "lidar", 'lidar requires frame "map", got "map "'),
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
def test_equal_names_pass_and_others_raise_the_quoted_message(actual, expected, interface, message, refused):
    if message is None:
        assert require_frame(actual, expected, interface) is None
    else:
        refused(lambda: require_frame(actual, expected, interface), FrameError, message)


@pytest.mark.parametrize(
    "call",
    [
        lambda: require_frame(interface="x", expected="odom", actual="map"),
        lambda: require_frame("map", interface="x", expected="odom"),
    ],
)
def test_keywords_bind_by_name(call, refused):
    refused(call, FrameError, 'x requires frame "odom", got "map"')


@pytest.mark.parametrize(
    ("args", "error", "message", "note"),
    [
        ((1, "map", "x"), TypeError, "'int' object cannot be converted to 'str'", "actual"),
        # Conversion runs in parameter order, and the names are never compared after one fails.
        (("map", b"odom", 3), TypeError, "'bytes' object cannot be converted to 'str'", "expected"),
        (("map", "odom", None), TypeError, "'NoneType' object cannot be converted to 'str'", "interface"),
        (("map", "\ud800", "x"), UnicodeEncodeError, None, "expected"),
    ],
)
def test_conversion_errors_name_the_first_bad_parameter(args, error, message, note, refused):
    refused(lambda: require_frame(*args), error, message, note)
