"""Time-stamped coordinate-frame transforms for robotics."""
