"""The Python module against the programs: the compiler's bytes, the headless
viewer's checksum, views without copies, and errors as exceptions."""
import os
import subprocess
import sys

import numpy as np
import pytest

import ksm

BUILD = os.environ["KSM_BUILD_DIR"]
SOURCE = os.environ["KSM_SOURCE_DIR"]
DEMO = os.path.join(SOURCE, "data", "demo")
DEMO_MAP = os.path.join(BUILD, "demo", "demo.ksm")
CONFIG = os.path.join(DEMO, "config.ini")


def viewer_checksum(frames, seed):
    out = subprocess.run([os.path.join(BUILD, "viewer", "app", "ksm_viewer_headless"), "--headless",
                          "--frames", str(frames), "--seed", str(seed), DEMO_MAP, "--config", CONFIG],
                         check=True, capture_output=True, text=True).stdout
    return int(next(l for l in out.splitlines() if l.startswith("checksum: ")).split()[1], 16)


def test_compile_gives_the_compilers_bytes(tmp_path):
    out = tmp_path / "demo.ksm"
    transcript = ksm.compile(os.path.join(DEMO, "demo.ksd"), out, src_dir=os.path.join(DEMO, "src"), threads=2)
    assert transcript.endswith("DONE!!!=)))\n")
    assert out.read_bytes() == open(DEMO_MAP, "rb").read()
    with pytest.raises(ksm.CompileError, match="ERROR"):
        ksm.compile(tmp_path / "missing.ksd", tmp_path / "none.ksm")
    assert not (tmp_path / "none.ksm").exists()


def test_checksum_equals_the_headless_viewers():
    m = ksm.Map(DEMO_MAP)
    assert (m.field_size, m.grid_size) == (48, 48) and len(m.objects) > 0
    faces = m.objects[0]["faces"]
    assert faces.dtype == np.uint32 and faces.shape[1] == 3 and faces.max() < len(m.objects[0]["vertices"])
    # Two simulations in one process, stepped in turn, end as the viewer does.
    with ksm.Simulation(m, **ksm.read_settings(CONFIG), seed=5) as sim, \
            ksm.Simulation(m, **ksm.read_settings(CONFIG), seed=5) as other:
        for _ in range(10):
            sim.step(100)
            other.step(100)
        assert sim.checksum() == other.checksum() == viewer_checksum(1000, 5)


def test_arrays_are_read_only_views_that_stay_valid():
    sim = ksm.Simulation(ksm.Map(DEMO_MAP), count=500, seed=3)
    p, c = sim.positions, sim.colors
    assert p.shape == c.shape == (500, 3) and p.dtype == np.float32 and not p.flags.writeable
    assert np.shares_memory(p, sim.positions)  # the same memory, no copy
    with pytest.raises(ValueError):
        p[0, 0] = 1.0
    before = p.copy()
    sim.step(10)
    assert not np.array_equal(before, p)  # the view follows the steps
    np.testing.assert_array_equal(sim.velocities, p - sim.previous_positions)
    g = sim.gravity
    sim.lift_gravity()
    assert sim.gravity == 0.0
    sim.reverse_gravity()
    assert sim.gravity == -g
    sim.close()
    assert np.array_equal(p, p.copy())  # still readable after close
    with pytest.raises(ValueError, match="closed"):
        sim.step()


def test_bad_input_raises():
    m = ksm.Map(DEMO_MAP)
    with pytest.raises(ksm.Error, match="cannot use the compiled map"):
        ksm.Map(CONFIG)
    with pytest.raises(ValueError, match="does not exist"):
        ksm.read_settings(CONFIG + ".missing")
    with pytest.raises(ValueError, match="negative"):
        ksm.Simulation(m, count=-1)
    with pytest.raises(ValueError):
        ksm.Simulation(m, seed=-1)
    sim = ksm.Simulation(m, count=10, seed=1)
    with pytest.raises(ValueError):
        sim.step(-1)
    sim.close()
    m.close()
    with pytest.raises(ValueError, match="closed"):
        m.objects
