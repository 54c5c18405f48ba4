"""Boundary faces, face properties and probe tetrahedra."""
import itertools

import numpy as np
import pytest

import _corvane
from conftest import REFERENCE, box_mesh, expect_panic

faces_of, properties_of, probe_tets = (
    _corvane.mesh_surface_faces, _corvane.mesh_surface_face_properties, _corvane._mesh_surface_tets)
FACES_0123 = [[0, 3, 2], [0, 2, 1], [0, 1, 3], [1, 2, 3]]


def u32(rows):
    return np.array(rows, dtype=np.uint32)


@pytest.mark.parametrize(
    "conn, expected",
    [
        ([[4, 7, 1, 9]], [[4, 9, 1], [4, 1, 7], [4, 7, 9], [7, 1, 9]]),
        ([[5, 5, 6, 7]], [[5, 6, 5], [5, 5, 7]]),
        ([[0, 1, 2, 3]] * 3, FACES_0123),
        ([[0, 1, 2, 3, 8]], FACES_0123),
        (np.zeros((0, 4)), []),
    ],
    ids=["single", "repeated index", "three occurrences", "remainder ignored", "empty"],
)
def test_faces_in_position_order(conn, expected):
    faces = faces_of(u32(conn))
    assert faces.dtype == np.uint32 and faces.shape == (len(expected), 3) and faces.tolist() == expected


@pytest.mark.parametrize("n_nodes", [6, 40, 100000])
def test_random_connectivity_against_reference(n_nodes):
    # Repeated faces exercise removals from the face map, many distinct ones its growth.
    conn = np.random.default_rng(n_nodes).integers(0, n_nodes, (20000, 4)).astype(np.uint32)
    faces = conn[:, FACES_0123].reshape(-1, 3)
    _, inverse, counts = np.unique(np.sort(faces, 1), axis=0, return_inverse=True, return_counts=True)
    last = np.zeros(len(counts), dtype=np.int64)
    np.maximum.at(last, inverse.ravel(), np.arange(len(faces)))
    assert np.array_equal(faces_of(conn), faces[np.sort(last[counts % 2 == 1])])


@pytest.mark.parametrize("second", list(itertools.permutations([1, 2, 3, 4])))
def test_shared_face_cancels_in_any_node_order(second):
    keys = {tuple(sorted(f)) for f in faces_of(u32([[0, 1, 2, 3], second])).tolist()}
    assert len(keys) == 6 and (1, 2, 3) not in keys


def test_box_surface_and_deterministic_order():
    nodes, conn = box_mesh()
    faces = faces_of(conn)
    assert faces.shape == (4 * (3 * 2 + 2 * 4 + 3 * 4), 3)  # two triangles per boundary square
    areas, centroids, normals = properties_of(nodes, faces)
    assert areas.sum() == pytest.approx(2 * (2 * 1 + 1 * 3 + 2 * 3), rel=1e-13)
    assert (np.einsum("ij,ij->i", normals, centroids - nodes.mean(axis=0)) > 0).all()  # outward
    assert (np.abs(normals).max(axis=1) == 1.0).all()
    shuffled = conn[np.random.default_rng(5).permutation(len(conn))]
    assert np.array_equal(faces_of(shuffled), faces_of(shuffled))
    assert np.array_equal(np.unique(np.sort(faces_of(shuffled), 1), axis=0), np.unique(np.sort(faces, 1), axis=0))


LINE = np.array([[0.0] * 3, [1.0] * 3, [2.0] * 3])


@pytest.mark.parametrize(
    "nodes, face, area, centroid, normal",
    [
        (REFERENCE, [0, 1, 2], 0.5, [1 / 3, 1 / 3, 0.0], [0.0, 0.0, 1.0]),
        (REFERENCE, [0, 2, 1], 0.5, [1 / 3, 1 / 3, 0.0], [0.0, 0.0, -1.0]),
        (LINE, [0, 1, 2], 0.0, [1.0, 1.0, 1.0], [np.nan] * 3),
        (LINE, [0, 0, 2], 0.0, [2 / 3, 2 / 3, 2 / 3], [np.nan] * 3),
    ],
    ids=["reference", "flipped", "collinear", "repeated node"],
)
def test_face_properties(nodes, face, area, centroid, normal):
    areas, centroids, normals = properties_of(nodes, u32([face]))
    assert areas.tolist() == [area] and centroids.tolist() == [centroid]
    np.testing.assert_array_equal(normals, [normal])


def test_properties_failures():
    expect_panic("index out of bounds: the len is 12 but the index is 12", properties_of, REFERENCE, u32([[0, 1, 4]]))
    with pytest.raises(ValueError):  # NumPy's reshape error: 2 triples, 4 rows
        properties_of(REFERENCE, u32([[0, 1]] * 4))


def test_probe_tetrahedra_are_regular_and_straddle_their_face():
    ring = np.array([[1.0, 0.0, 0.0], [-0.5, 0.75**0.5, 0.0], [-0.5, -(0.75**0.5), 0.0]])  # |P0 - c| = 1
    nodes, faces = np.vstack([ring + [0.3, -0.2, 1.0], REFERENCE]), u32([[0, 1, 2], [3, 5, 4], [4, 5, 6]])
    _, c, n = properties_of(nodes, faces)
    points, indices = probe_tets(nodes.ravel(), faces.ravel(), c.ravel(), n.ravel())
    p, (i, j) = points.reshape(-1, 4, 3), np.triu_indices(4, 1)
    assert indices.dtype == np.uint32 and indices.tolist() == list(range(12))
    edges = np.linalg.norm(p[:, i] - p[:, j], axis=2) / np.linalg.norm(nodes[[0, 3, 4]] - c, axis=1)[:, None]
    np.testing.assert_allclose(edges, 0.02, rtol=1e-14)
    np.testing.assert_allclose(p.mean(axis=1), c, atol=1e-15)
    side = np.einsum("fpk,fk->fp", p - c[:, None], n)
    assert (side[:, :2] > 0).all() and (side[:, 2:] < 0).all()
    assert (np.einsum("ij,ij->i", p[:, 1] - p[:, 0], np.cross(p[:, 2] - p[:, 0], p[:, 3] - p[:, 0])) > 0).all()


def test_probe_failures_and_degenerate_face():
    c, n, nodes = np.zeros(3), np.array([0.0, 0.0, 1.0]), REFERENCE.ravel()
    assert np.isnan(probe_tets(np.zeros(3), u32([0, 0, 0]), c, n)[0]).all()  # first node at the centroid
    for faces, normals, message in [([4, 0, 0], n, "len is 12 but the index is 12"),
                                    ([0, 1, 2, 1, 2, 3], n, "len is 3 but the index is 3"),
                                    ([1, 2, 3], n[:2], "len is 2 but the index is 2")]:
        expect_panic("index out of bounds: the " + message, probe_tets, nodes, u32(faces), c, normals)
    with pytest.raises(TypeError, match="^argument 'faces': "):
        probe_tets(nodes, u32([[0, 1, 2]]), c, n)
