#!/usr/bin/env python3
"""How fast a heap settles for a few values of cl: one simulation per value on
the demo map, the heap's height (the 90th percentile of the balls' y) every
few frames, plotted into a PNG.

    python3 settle.py [--map /usr/share/ksm/demo/demo.ksm] [--config config.ini]
                      [--cl 10 20 40] [--frames 1000] [--out settle.png]
"""
import argparse
import os

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import ksm


def heap_height(positions):
    """The height below which nine balls in ten lie (y is up)."""
    return float(np.percentile(positions[:, 1], 90)) if len(positions) else 0.0


def settle(map_, settings, cl, frames, every=20, seed=1):
    """(frames, heights) of one run of the settings with the given cl."""
    xs, hs = [0], []
    with ksm.Simulation(map_, **{**settings, "cl": cl}, seed=seed) as sim:
        hs.append(heap_height(sim.positions))
        while sim.frames < frames:
            sim.step(min(every, frames - sim.frames))
            xs.append(sim.frames)
            hs.append(heap_height(sim.positions))
    return xs, hs


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--map", default="/usr/share/ksm/demo/demo.ksm")
    p.add_argument("--cl", type=float, nargs="+", default=[10, 20, 40])
    p.add_argument("--frames", type=int, default=1000)
    p.add_argument("--config", help="settings file (default: config.ini beside the map, if any)")
    p.add_argument("--out", default="settle.png")
    a = p.parse_args()
    map_ = ksm.Map(a.map)
    config = a.config or os.path.join(os.path.dirname(a.map), "config.ini")
    settings = ksm.read_settings(config) if os.path.exists(config) else {}
    for cl in a.cl:
        xs, hs = settle(map_, settings, cl, a.frames)
        print(f"cl={cl:g}: height {hs[0]:.2f} -> {hs[-1]:.2f} after {xs[-1]} frames")
        plt.plot(xs, hs, label=f"cl={cl:g}")
    plt.xlabel("frame")
    plt.ylabel("heap height (90th percentile of y)")
    plt.legend()
    plt.savefig(a.out, dpi=100)
    print(f"plot: {a.out}")


if __name__ == "__main__":
    main()
