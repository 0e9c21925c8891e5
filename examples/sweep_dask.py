#!/usr/bin/env python3
"""A sweep of ksm simulations on Dask's distributed scheduler: one simulation
per task; the checksum, heap height and time of each gathered into a table
and a plot.

On one machine (a LocalCluster of worker processes):
    python3 sweep_dask.py --map demo.ksm --cl 10 20 30 40
On a cluster: start `dask scheduler` on one machine and
`dask worker tcp://HOST:8786 --nthreads 1` on each of the others (or use
dask-jobqueue on Slurm), then
    python3 sweep_dask.py --scheduler tcp://HOST:8786 --map /shared/demo.ksm ...
Every worker needs the Python module ksm and the map at the same path. One
thread per worker: each task holds a core while it steps.
"""
import argparse
import time

import numpy as np


def run_one(map_path, settings, frames, seed):
    """One simulation (runs in a worker): a dict of the results."""
    import ksm

    start = time.perf_counter()
    sim = ksm.Simulation(ksm.Map(map_path), seed=seed, **settings)
    try:
        sim.step(frames)
        height = float(np.percentile(sim.positions[:, 1], 90)) if sim.count else 0.0
        return {**settings, "frames": frames, "checksum": sim.checksum(), "height": height,
                "seconds": time.perf_counter() - start}
    finally:
        sim.close()


def run_sweep(client, map_path, sweep, frames, seed=1):
    """Runs every settings dict of `sweep` as a task; results in sweep order."""
    futures = [client.submit(run_one, map_path, s, frames, seed, pure=False) for s in sweep]
    return client.gather(futures)


def start_client(scheduler=None, workers=2):
    """A client of the given scheduler, or of a new LocalCluster of processes."""
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler)
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    return Client(cluster)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--map", default="/usr/share/ksm/demo/demo.ksm")
    p.add_argument("--scheduler", help="address of a running dask scheduler (default: a LocalCluster)")
    p.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    p.add_argument("--cl", type=float, nargs="+", default=[10, 20, 30, 40])
    p.add_argument("--count", type=int, default=4000)
    p.add_argument("--frames", type=int, default=1000)
    p.add_argument("--out", default="sweep.png")
    a = p.parse_args()
    client = start_client(a.scheduler, a.workers)
    try:
        rows = run_sweep(client, a.map, [{"cl": cl, "count": a.count} for cl in a.cl], a.frames)
    finally:
        client.close()
    print(f"{'cl':>8} {'checksum':>18} {'height':>8} {'seconds':>8}")
    for r in rows:
        print(f"{r['cl']:8g}   {r['checksum']:016x} {r['height']:8.2f} {r['seconds']:8.2f}")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.plot([r["cl"] for r in rows], [r["height"] for r in rows], "o-")
    plt.xlabel("cl")
    plt.ylabel(f"heap height after {a.frames} frames")
    plt.savefig(a.out, dpi=100)
    print(f"plot: {a.out}")


if __name__ == "__main__":
    main()
