"""The node order of an element never changes a field: an unstructured ball
with a random half of its rows negatively oriented, on every path, and
corvane.orient for callers that need outward boundary faces."""
import numpy as np
import pytest

import _corvane
import corvane
from conftest import ball_mesh

pytest.importorskip("gmsh")

KINDS = [(0, 0), (0, 1), (1, 0), (1, 1)]  # (src_vector_type, requested_field)
# Odd permutations of a row: each turns a positive element into a negative one.
ODD = np.array([[0, 2, 1, 3], [1, 0, 2, 3], [3, 1, 2, 0], [0, 1, 3, 2], [1, 2, 3, 0]])


@pytest.fixture(scope="module")
def meshes():
    nodes, conn = ball_mesh(0.4)
    rng = np.random.default_rng(11)
    mixed = conn.copy()
    rows = rng.permutation(len(conn))[: len(conn) // 2]
    mixed[rows] = np.take_along_axis(conn[rows], ODD[rng.integers(0, len(ODD), len(rows))], axis=1)
    assert 300 <= len(conn) <= 2000 and (corvane.signed_volumes(nodes, mixed) < 0).sum() == len(rows)
    return nodes, conn, mixed


@pytest.mark.parametrize("use_octree, theta", [(False, 0.5), (True, 0.0), (True, 0.5)])
@pytest.mark.parametrize("kind, field", KINDS)
def test_negative_rows_give_the_fields_of_positive_ones(meshes, kind, field, use_octree, theta):
    nodes, conn, mixed = meshes
    rng = np.random.default_rng(12)
    vectors = rng.normal(size=(len(conn), 3))
    targets = np.vstack([_corvane.mesh_centroids(nodes, conn), rng.uniform(-1.5, 1.5, (50, 3))])

    def fields(c):
        return _corvane.calculate_fields(nodes, c, vectors, kind, field, targets, True, 0, use_octree,
                                         theta, 1, 8, 256)

    want = fields(conn)
    np.testing.assert_allclose(fields(mixed), want, rtol=0, atol=1e-12 * np.abs(want).max())


def test_solves_on_mixed_orientation_agree(meshes):
    nodes, conn, mixed = meshes
    h0 = np.array([0.0, 0.0, 1000.0])
    m, _ = corvane.solve_magnetization(nodes, conn, 100.0, h0, rtol=1e-10)
    m_mixed, _ = corvane.solve_magnetization(nodes, mixed, 100.0, h0, rtol=1e-10)
    np.testing.assert_allclose(m_mixed, m, rtol=0, atol=1e-9 * np.abs(m).max())
    centroids = _corvane.mesh_centroids(nodes, conn)
    relaxed = [_corvane.magnetization_solve(nodes, c, centroids, 1.0, np.tile(h0, (len(conn), 1)), True, 0,
                                            1e-9, 200, 0.66, False, 0.5, 1, 8, 256, False)[0] for c in (conn, mixed)]
    np.testing.assert_allclose(relaxed[1], relaxed[0], rtol=0, atol=1e-12 * np.abs(relaxed[0]).max())


def test_orient_flips_negative_rows_and_gives_outward_faces(meshes):
    nodes, conn, mixed = meshes
    oriented, flipped = corvane.orient(nodes, mixed)
    assert oriented.dtype == np.uint32 and flipped == (corvane.signed_volumes(nodes, mixed) < 0).sum()
    assert (corvane.signed_volumes(nodes, oriented) > 0).all()
    np.testing.assert_array_equal(np.sort(oriented, axis=1), np.sort(mixed, axis=1))
    assert corvane.orient(nodes, oriented)[1] == 0
    # Outward boundary faces: the flux of the position vector through them is 3V.
    faces = _corvane.mesh_surface_faces(oriented)
    areas, centres, normals = _corvane.mesh_surface_face_properties(nodes, faces)
    volume = _corvane.mesh_volumes(nodes, conn).sum()
    assert np.einsum("i,ij,ij->", areas, centres, normals) == pytest.approx(3 * volume, rel=1e-12)
    with pytest.raises(ValueError, match="connectivity"):
        corvane.orient(nodes, mixed + len(nodes))
