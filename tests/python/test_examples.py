"""The examples in examples/, run as a user runs them, headless and small."""
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import _corvane

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(name, *args, cwd):
    env = dict(os.environ, MPLBACKEND="Agg")
    result = subprocess.run([sys.executable, EXAMPLES / name, *map(str, args)], cwd=cwd, env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_cluster_fields_are_bit_identical_to_one_direct_call(tmp_path):
    pytest.importorskip("distributed", reason="Dask is installed in the main .venv only")
    out = run_example("cluster_fields.py", "--workers", 2, "--targets", 3000, "--blocks", 7,
                      "--mesh-size", 0.02, "--save", "fields.npz", cwd=tmp_path)
    assert "Cluster: 2 workers" in out
    saved = np.load(tmp_path / "fields.npz")
    direct = _corvane.calculate_fields(saved["nodes"], saved["connectivity"], saved["vectors"], 1, 1,
                                       saved["targets"], True, 0, False, 0.5, 1, 16, 1024)
    assert saved["h"].shape == (3000, 3) and np.array_equal(saved["h"], direct)
    spread = float(re.search(r"median relative difference (\S+)", out).group(1))
    assert spread < 1e-2
