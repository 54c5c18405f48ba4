"""The package's exact paths against closed forms: a meshed cube magnet
against magpylib's cuboid (tolerance=None), and FieldOperator at its tightest
tolerances against the exact direct sum."""
import numpy as np
import pytest

import corvane
from conftest import ball_mesh, box_mesh
from corvane.magnetization import exact_fields

magpylib = pytest.importorskip("magpylib")
pytest.importorskip("gmsh")

MU0 = 4e-7 * np.pi
BR = np.array([0.3, -0.5, 1.1])  # T


def test_meshed_cube_magnet_is_the_closed_form_to_rounding():
    # A 2 x 1 x 3 m box of 144 tetrahedra; magpylib's cuboid is exact to rounding.
    nodes, conn = box_mesh()
    centre, size = np.array([1.0, 0.5, 1.5]), np.array([2.0, 1.0, 3.0])
    model = corvane.Model(corvane.Mesh(nodes, conn, {"magnet": np.arange(len(conn))}))
    model.add_magnet("magnet", remanence=BR)
    solution = model.solve()
    # Given the magnetisation in A/m: magpylib's mu0 (CODATA) differs from 4 pi 1e-7 by 1.3e-10.
    cuboid = magpylib.magnet.Cuboid(dimension=size, magnetization=BR / MU0, position=centre)
    rng = np.random.default_rng(5)
    inside = centre + rng.uniform(-0.45, 0.45, (60, 3)) * size
    direction = rng.normal(size=(60, 3))
    outside = centre + direction / np.abs(direction / size).max(axis=1, keepdims=True) \
        * rng.uniform(0.52, 3.0, (60, 1))
    for points in (inside, outside):
        for ours, theirs in ((solution.H_at(points), cuboid.getH(points)),
                             (solution.B(points) / MU0, cuboid.getB(points) / magpylib.mu_0)):
            error = np.linalg.norm(ours - theirs, axis=1) / np.linalg.norm(theirs, axis=1)
            assert error.max() < 1e-12


@pytest.mark.slow
@pytest.mark.parametrize("source, field, tolerance", [
    ("magnetization", "H", 1e-10), ("current", "A", 1e-9),   # the degree-9 product rule
    ("magnetization", "H", 1e-8), ("current", "H", 1e-7),    # the 59-point symmetric rule
    ("magnetization", "A", 1e-6)])                           # the 35-point symmetric rule
def test_field_operator_meets_its_tightest_tolerances(source, field, tolerance):
    nodes, conn = ball_mesh(0.35)
    rng = np.random.default_rng(2)
    vectors = rng.normal(size=(len(conn), 3))
    targets = rng.normal(size=(300, 3))
    targets *= rng.uniform(0.0, 1.6, (300, 1)) / np.linalg.norm(targets, axis=1, keepdims=True)
    op = corvane.FieldOperator(nodes, conn, targets, source=source, field=field, tolerance=tolerance)
    codes = {"magnetization": 1, "current": 0, "H": 1, "A": 0}
    want = exact_fields(nodes, conn, vectors, codes[source], codes[field], targets, 0)
    got = op(vectors)
    assert np.sqrt(np.mean((got - want) ** 2) / np.mean(want ** 2)) < tolerance
