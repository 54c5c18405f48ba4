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



def test_cluster_solve_matches_the_solve_here(tmp_path):
    pytest.importorskip("distributed", reason="Dask is installed in the main .venv only")
    out = run_example("cluster_solve.py", "--size-factor", 2, "--check", cwd=tmp_path)
    assert "Cluster: 2 workers" in out
    assert float(re.search(r"relative difference (\S+)", out).group(1)) < 1e-4

def stated(out, what):
    """(value, tolerance) of a printed line '...: relative difference X (tolerance Y)'."""
    line = next(line for line in out.splitlines() if line.startswith(what))
    found = re.search(r"relative difference (\S+) \(tolerance (\S+)\)", line)
    return float(found.group(1)), float(found.group(2))


def test_soft_sphere_writes_picture_and_vtu_and_matches_closed_form(tmp_path):
    meshio = pytest.importorskip("meshio", reason="the examples' packages are installed in the main .venv only")
    out = run_example("soft_sphere.py", "--mesh-size", 0.5, "--grid", 40, "--out", "sphere", cwd=tmp_path)
    difference, tolerance = stated(out, "Mean M against the closed form")
    assert difference < tolerance
    assert (tmp_path / "sphere.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    mesh = meshio.read(tmp_path / "sphere.vtu")
    n = len(mesh.cells_dict["tetra"])
    assert {"M", "H", "B"} <= set(mesh.cell_data)
    assert all(mesh.cell_data[k][0].shape == (n, 3) for k in "MHB")
    m = mesh.cell_data["M"][0]
    assert np.all(m[:, 2] > 0) and abs(np.median(m[:, 2]) / (3 * 100 / 103 * 1e4) - 1) < 0.1


def test_iron_block_force_agrees_with_kelvin_force_and_image_estimate(tmp_path):
    pytest.importorskip("matplotlib", reason="the examples' packages are installed in the main .venv only")
    out = run_example("iron_block_force.py", "--mesh-size", 0.012, "--out", "force.png", cwd=tmp_path)
    difference, tolerance = stated(out, "Maxwell stress against the Kelvin force")
    assert difference < tolerance
    fz = float(re.search(r"Maxwell stress over .*F = \(\S+, \S+, (\S+)\) N", out).group(1))
    ratio = float(re.search(r"Fz ratio (\S+)", out).group(1))
    # Attraction, somewhat weaker than by a half-space of the same material.
    assert fz < 0 and 0.8 < ratio < 1.0
    assert (tmp_path / "force.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_assembly_from_its_model_file(tmp_path):
    meshio = pytest.importorskip("meshio", reason="the examples' packages are installed in the main .venv only")
    pytest.importorskip("matplotlib", reason="the examples' packages are installed in the main .venv only")
    out = run_example("assembly.py", "--size-factor", 2, "--out", "coarse", cwd=tmp_path)
    fz = [float(v) for v in re.search(r"Fz on the magnet, the coil and the plate: (\S+), (\S+), (\S+) N", out).groups()]
    # The plate attracts the magnet; the three forces, each without its own
    # field, balance (measured 0.6 % of the magnet's on this coarse mesh).
    assert fz[0] < -1.0 and abs(sum(fz)) < 0.02 * abs(fz[0])
    mesh = meshio.read(tmp_path / "coarse.vtu")
    assert {"region", "M", "H", "B", "J"} <= set(mesh.cell_data)
    assert set(np.unique(mesh.cell_data["region"][0])) == {0, 1, 2, 3}
    assert (tmp_path / "coarse.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.slow
def test_saturating_sphere_follows_its_closed_form_into_saturation(tmp_path):
    pytest.importorskip("matplotlib", reason="the examples' packages are installed in the main .venv only")
    out = run_example("saturating_sphere.py", "--mesh-size", 0.35, "--fields", 3, "--grid", 30, "--out", "sat",
                      cwd=tmp_path)
    difference, tolerance = stated(out, "Mean M against the closed form")
    assert difference < tolerance
    # 1e3, 1e5 and 1e7 A/m: at 1e7 the mean M sits at the curve's saturation.
    rows = [line.split() for line in out.splitlines() if re.match(r"\s+1e\+0[357] ", line)]
    assert [row[0] for row in rows] == ["1e+03", "1e+05", "1e+07"]
    assert abs(float(rows[2][1]) / 1.694e6 - 1) < 1e-3
    assert (tmp_path / "sat.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
