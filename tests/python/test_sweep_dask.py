"""A four-task sweep on a two-worker LocalCluster: each task's checksum equals
a run of the same settings in this process."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.environ["KSM_SOURCE_DIR"], "examples"))
sweep_dask = pytest.importorskip("sweep_dask")
pytest.importorskip("dask.distributed")

DEMO_MAP = os.path.join(os.environ["KSM_BUILD_DIR"], "demo", "demo.ksm")


def test_sweep_on_a_local_cluster():
    sweep = [{"cl": cl, "count": 800} for cl in (10, 20, 30, 40)]
    client = sweep_dask.start_client(workers=2)
    try:
        assert len(client.scheduler_info()["workers"]) == 2
        rows = sweep_dask.run_sweep(client, DEMO_MAP, sweep, frames=100, seed=2)
    finally:
        client.close()
    assert len({r["checksum"] for r in rows}) == 4
    for settings, row in zip(sweep, rows):
        assert row["cl"] == settings["cl"]
        assert row["checksum"] == sweep_dask.run_one(DEMO_MAP, settings, 100, 2)["checksum"]
