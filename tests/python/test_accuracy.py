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


def _subdivided(tetrahedra):
    """The eight tetrahedra of each of tetrahedra (n, 4, 3) cut at its edges' midpoints."""
    m = lambda i, j: (tetrahedra[:, i] + tetrahedra[:, j]) / 2
    v, m01, m02, m03, m12, m13, m23 = tetrahedra, m(0, 1), m(0, 2), m(0, 3), m(1, 2), m(1, 3), m(2, 3)
    pieces = [(v[:, 0], m01, m02, m03), (m01, v[:, 1], m12, m13), (m02, m12, v[:, 2], m23),
              (m03, m13, m23, v[:, 3]), (m01, m02, m03, m13), (m01, m02, m12, m13), (m02, m03, m13, m23),
              (m02, m12, m13, m23)]
    return np.concatenate([np.stack(piece, axis=1) for piece in pieces])


def test_far_elements_keep_their_digits():
    # One element's four fields from 10 to 1e7 of its radii, against 512 pieces of it as the
    # points of a degree-5 rule (each within 1e-11 there). The element integrals alone had lost
    # 6e-5 at 1e4 radii (their face terms cancel).
    nodes = np.array([[0.0, 0.0, 0.0], [1.0, 0.1, 0.0], [0.2, 1.0, 0.1], [0.1, 0.3, 1.0]]) * 1e-3
    vector = np.array([[0.3, -0.2, 1.0]]) * 1e6
    centroid = nodes.mean(axis=0)
    radius = np.linalg.norm(nodes - centroid, axis=1).max()
    rng = np.random.default_rng(6)
    direction = rng.normal(size=(40, 3))
    targets = centroid + direction / np.linalg.norm(direction, axis=1, keepdims=True) \
        * (radius * np.logspace(1, 7, 40))[:, None]
    a, b, c = 0.3108859192633006, 0.0927352503108912, 0.0455037041256496
    rule = [np.roll([1 - 3 * x, x, x, x], k) for x in (a, b) for k in range(4)] + \
        [np.where(np.isin(np.arange(4), pair), c, 0.5 - c) for pair in ((0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3))]
    weights = np.repeat([0.1126879257180159, 0.0734930431163619, 0.0425460207770815], [4, 4, 6])
    pieces = _subdivided(_subdivided(_subdivided(nodes[None])))
    volumes = np.abs(np.linalg.det(pieces[:, 1:] - pieces[:, :1])) / 6.0
    points = np.einsum("qk,pkx->pqx", np.array(rule), pieces).reshape(-1, 3)
    strengths = np.outer(np.outer(volumes, weights).ravel(), vector[0])     # (points, 3)
    r = targets[:, None, :] - points[None]
    d = np.linalg.norm(r, axis=2)[..., None]
    reference = {(1, 1): ((3 * r * np.einsum("tpx,px->tp", r, strengths)[..., None] / d**2 - strengths) / d**3),
                 (1, 0): MU0 * np.cross(strengths, r) / d**3,
                 (0, 1): np.cross(strengths, r) / d**3,
                 (0, 0): MU0 * np.broadcast_to(strengths, r.shape) / d}
    for (source, field), terms in reference.items():
        expected = terms.sum(axis=1) / (4 * np.pi)
        ours = exact_fields(nodes, np.array([[0, 1, 2, 3]], dtype=np.uint32), vector, source, field, targets, 2)
        error = np.linalg.norm(ours - expected, axis=1) / np.linalg.norm(expected, axis=1)
        assert error.max() < 2e-11, (source, field, error.max())


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
