#!/usr/bin/env python3
"""A frame through the Python module against the same frames through the C
library (bench_lib's frame_library): the demo map, 20000 balls, seed 1, 300
frames of warm-up, then 400 frames one step() call each. Also checks that
reading the positions copies nothing.

    PYTHONPATH=build/python python3 bench/bench_python.py build/demo/demo.ksm
"""
import sys
import time

import numpy as np

import ksm

BALLS, WARM_UP, FRAMES = 20000, 300, 400

sim = ksm.Simulation(ksm.Map(sys.argv[1]), count=BALLS, seed=1)
sim.step(WARM_UP)
start, cpu = time.perf_counter(), time.process_time()
for _ in range(FRAMES):
    sim.step(1)
    p = sim.positions
per_frame = (time.perf_counter() - start) / FRAMES
cpu_per_frame = (time.process_time() - cpu) / FRAMES
assert np.shares_memory(p, sim.positions) and not p.flags.owndata, "the positions were copied"
start = time.perf_counter()
for _ in range(100000):
    p = sim.positions
per_view = (time.perf_counter() - start) / 100000
print(f"python step(1) + positions: {per_frame * 1e3:.3f} ms per frame, {cpu_per_frame * 1e3:.3f} ms CPU "
      f"({BALLS} balls); "
      f"a positions view: {per_view * 1e6:.2f} us, no copy; checksum low {sim.checksum() & 0xFFFF}")
