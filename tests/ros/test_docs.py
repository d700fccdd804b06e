# The live page of the documentation, run by the documentation tests' own runner: its blocks
# marked <!-- needs: ros --> in order, in one namespace, printing what the page shows.

import importlib.util
from pathlib import Path

import rclpy

ROOT = Path(__file__).resolve().parents[2]
spec = importlib.util.spec_from_file_location("docs_runner", ROOT / "tests/python/test_docs.py")
docs_runner = importlib.util.module_from_spec(spec)
spec.loader.exec_module(docs_runner)


def test_the_live_page_runs_and_prints_what_it_shows():
    # The page starts and ends its own ROS context; the suite's is set aside meanwhile.
    rclpy.shutdown()
    try:
        assert docs_runner.run_page(ROOT / "docs" / "ros.md", "ros") == 2, "both live blocks ran"
    finally:
        # A page that stopped half-way leaves its nodes in its context: end them with it.
        rclpy.try_shutdown()
        rclpy.init()
