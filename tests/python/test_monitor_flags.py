# The monitor flags a link whose delay exceeds --max-delay or whose largest gap exceeds
# --max-gap times its median interval: strictly above the limit, never at it.

import pytest
from quilm_tf.tools.monitor import problems
from quilm_tf.tools.tree import FrameTree

MS = 1_000_000


def link(stamps_ns, delays_ns):
    tree = FrameTree(timed=True)
    for stamp_ns, delay_ns in zip(stamps_ns, delays_ns):
        tree.add("map", "odom", stamp_ns, False, stamp_ns + delay_ns)
    return tree.links["odom"]


@pytest.mark.parametrize(("over_ns", "flagged"), [(-1, False), (0, False), (1, True)])
def test_delay_and_gap_are_flagged_just_above_their_limits(over_ns, flagged):
    # Intervals 10, 10, 10 and 30 ms (+ over_ns): median 10 ms, the gap 3x the median.
    gappy = link([0, 10 * MS, 20 * MS, 30 * MS, 60 * MS + over_ns], [0] * 5)
    late = link([0, 10 * MS, 20 * MS], [5, 100 * MS + over_ns, 7])
    gap_flags = [flag for flag, _ in problems(gappy, max_delay_ms=100, max_gap=3)]
    delay_flags = [flag for flag, _ in problems(late, max_delay_ms=100, max_gap=3)]
    assert gap_flags == (["gap"] if flagged else []), f"gap {over_ns:+d} ns from the limit"
    assert delay_flags == (["delay"] if flagged else []), f"delay {over_ns:+d} ns from the limit"
