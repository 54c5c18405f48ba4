"""Element volumes and centroids: mesh_volumes and mesh_centroids."""
import itertools

import numpy as np
import pytest

import _corvane
from conftest import REFERENCE, box_mesh, expect_panic

BOTH = pytest.mark.parametrize("fn", [_corvane.mesh_volumes, _corvane.mesh_centroids])


def test_reference_element_in_every_node_order():
    for order in itertools.permutations(range(4)):
        conn = np.array([order], dtype=np.uint32)
        assert _corvane.mesh_volumes(REFERENCE, conn).tolist() == [0.16666666666666666]
        assert _corvane.mesh_centroids(REFERENCE, conn).tolist() == [[0.25, 0.25, 0.25]]


@pytest.mark.parametrize("conn, centroid", [([0, 1, 2, 4], [0.5, 0.5, 0.0]), ([0, 1, 1, 3], [0.5, 0.0, 0.25])])
def test_flat_and_repeated_index_elements(conn, centroid):
    nodes, conn = np.vstack([REFERENCE, [[1.0, 1.0, 0.0]]]), np.array([conn], dtype=np.uint32)
    assert _corvane.mesh_volumes(nodes, conn).tolist() == [0.0]
    assert _corvane.mesh_centroids(nodes, conn).tolist() == [centroid]


def test_box_mesh_and_layouts():
    nodes, conn = box_mesh()
    p = nodes[conn]
    signed = np.einsum("ij,ij->i", p[:, 1] - p[:, 0], np.cross(p[:, 2] - p[:, 0], p[:, 3] - p[:, 0]))
    assert (signed > 0).all()  # the mesh the other tests rely on
    volumes = _corvane.mesh_volumes(nodes, conn)
    assert volumes.sum() == pytest.approx(6.0, rel=1e-13)
    np.testing.assert_allclose(volumes, signed / 6, rtol=1e-13)
    np.testing.assert_allclose(_corvane.mesh_centroids(nodes, conn), p.mean(axis=1), atol=1e-15)
    # Column-major arrays are read in row order; nodes are read flat whatever the column count.
    assert np.array_equal(_corvane.mesh_volumes(np.asfortranarray(nodes), np.asfortranarray(conn)), volumes)
    assert np.array_equal(_corvane.mesh_volumes(nodes.reshape(-1, 6), conn), volumes)


@BOTH
def test_empty(fn):
    result = fn(np.zeros((0, 3)), np.zeros((0, 4), dtype=np.uint32))
    assert result.dtype == np.float64 and result.size == 0 and result.shape[0] == 0


@BOTH
@pytest.mark.parametrize(
    "nodes, conn, message",
    [
        (REFERENCE, [[0, 1, 4, 2]], "index out of bounds: the len is 4 but the index is 4"),
        (REFERENCE, [[0, 9, 4, 2]], "index out of bounds: the len is 4 but the index is 9"),
        (REFERENCE, np.zeros((4, 2)), "assertion `left == right` failed (left: 2, right: 4)"),
        (REFERENCE, np.zeros((3, 2)), "assertion `left == right` failed (left: 2, right: 0)"),
        (REFERENCE.reshape(2, 6)[:, :5].copy(), [[0, 1, 2, 3]], "assertion `left == right` failed (left: 1, right: 0)"),
    ],
    ids=["index N", "first bad index", "(4, 2)", "(3, 2)", "nodes not triples"],
)
def test_internal_failures(fn, nodes, conn, message):
    expect_panic(message, fn, nodes, np.asarray(conn, dtype=np.uint32))


@BOTH
def test_strided_nodes_are_refused(fn):
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        fn(np.repeat(REFERENCE, 2, axis=0)[::2], np.array([[0, 1, 2, 3]], dtype=np.uint32))
