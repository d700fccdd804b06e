"""The quilm-tf command-line tools: ``quilm-tf`` (or ``python -m quilm_tf``) and its commands.

A module per concern: ``messages`` and ``robot`` (ROS-shaped messages and the simulated robot),
``bags`` (reading recorded bags), ``tree`` (the frame tree and its per-link statistics),
``replay`` (feeding a buffer and a filter in arrival order), one module per command's report
(``demo_report``, ``frames``, ``echo``, ``monitor``), ``picture`` (SVG and Graphviz text),
``geometry`` (rotations for the reports), ``text`` (report layout), ``output`` (files the
commands write) and ``cli`` (the entry point).
"""
