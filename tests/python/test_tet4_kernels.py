"""Exact tetrahedron kernels through calculate_fields(element_integration=True),
against an independent quadrature of the volume integrals they reduce."""
import numpy as np
import pytest

import _corvane
from conftest import box_mesh

MU0_4PI = 1e-7
INV_4PI = 1.0 / (4.0 * np.pi)

NODES = np.array([[0.1, -0.2, 0.05], [1.3, 0.1, -0.1], [0.2, 0.9, 0.3], [0.3, 0.2, 1.1]])
CONN = np.array([[0, 1, 2, 3]], dtype=np.uint32)
VECTOR = np.array([[0.7, -1.3, 2.1]])
CENTROID = NODES.mean(axis=0)

# (src_vector_type, requested_field): 0 = current density, 1 = magnetisation; 0 = A, 1 = H.
KERNELS = {"a_from_j": (0, 0), "h_from_j": (0, 1), "a_from_m": (1, 0), "h_from_m": (1, 1)}


def fields(nodes, conn, vectors, kernel, targets, n_threads=1):
    src_type, field = KERNELS[kernel]
    return _corvane.calculate_fields(nodes, conn, vectors, src_type, field, np.asarray(targets, float),
                                     True, n_threads, False, 0.5, 1, 10, 10)


def tet_rule(n=24):
    """Collapsed (Duffy) Gauss-Legendre rule on the unit tetrahedron: points, weights."""
    g, w = np.polynomial.legendre.leggauss(n)
    g, w = 0.5 * (g + 1.0), 0.5 * w
    u, v, s = np.meshgrid(g, g, g, indexing="ij")
    wu, wv, ws = np.meshgrid(w, w, w, indexing="ij")
    pts = np.stack([u, v * (1 - u), s * (1 - u) * (1 - v)], axis=-1).reshape(-1, 3)
    wts = (wu * wv * ws * (1 - u) ** 2 * (1 - v)).ravel()
    return pts, wts


def reference(kernel, nodes, vector, targets):
    """The standard volume integrals of a uniform source over one element."""
    ref_pts, ref_wts = tet_rule()
    edges = nodes[1:] - nodes[0]
    pts = nodes[0] + ref_pts @ edges
    wts = ref_wts * abs(np.linalg.det(edges))
    d = targets[:, None, :] - pts[None, :, :]          # r - r'
    r = np.linalg.norm(d, axis=-1)[..., None]
    v = np.broadcast_to(vector, d.shape)
    if kernel == "a_from_j":
        f = MU0_4PI * v / r
    elif kernel == "h_from_j":
        f = INV_4PI * np.cross(v, d) / r**3
    elif kernel == "a_from_m":
        f = MU0_4PI * np.cross(v, d) / r**3
    else:
        f = INV_4PI * (3.0 * np.sum(d * v, axis=-1, keepdims=True) * d / r**5 - v / r**3)
    return np.einsum("tpk,p->tk", f, wts)


def outside_targets(offsets):
    """Points beyond each face, at `offsets` times the element size from its centroid."""
    size = np.max(np.linalg.norm(NODES - CENTROID, axis=1))
    faces = [(0, 2, 1), (0, 3, 2), (1, 2, 3), (0, 1, 3)]
    out = []
    for f in faces:
        a, b, c = NODES[list(f)]
        n = np.cross(b - a, c - a)
        n /= np.linalg.norm(n)
        for off in offsets:
            out.append((a + b + c) / 3 + off * size * n)
    return np.array(out)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("offset", [0.3, 1.0, 4.0, 20.0])
def test_matches_volume_quadrature_outside(kernel, offset):
    targets = outside_targets([offset])
    got = fields(NODES, CONN, VECTOR, kernel, targets)
    want = reference(kernel, NODES, VECTOR[0], targets)
    # For small solid angles the fast arctangent is 2.3e-5 low while the edge
    # logarithms are nearly exact; the four face terms exceed their sum by
    # about 4 x distance / size, so that is how the relative error grows.
    err = np.linalg.norm(got - want, axis=1) / np.linalg.norm(want, axis=1)
    assert np.all(err < 2e-4 * max(1.0, offset)), err


@pytest.mark.parametrize("kernel", KERNELS)
def test_node_order_does_not_change_the_field(kernel):
    targets = np.vstack([outside_targets([0.5, 3.0]), CENTROID])
    pos = fields(NODES, CONN, VECTOR, kernel, targets)
    # Exchanging nodes 1 and 2 is the very element the kernels integrate.
    np.testing.assert_array_equal(fields(NODES, CONN[:, [0, 2, 1, 3]].copy(), VECTOR, kernel, targets), pos)
    scale = np.linalg.norm(pos, axis=1, keepdims=True)
    for order in ([1, 0, 2, 3], [3, 1, 2, 0], [2, 3, 0, 1]):
        got = fields(NODES, CONN[:, order].copy(), VECTOR, kernel, targets)
        np.testing.assert_allclose(got / scale, pos / scale, rtol=0, atol=1e-12)


SPECIAL = {
    "vertex": NODES[2],
    "edge": 0.5 * (NODES[0] + NODES[3]),
    "face": (NODES[1] + NODES[2] + NODES[3]) / 3,
    "face_plane_outside_triangle": 2 * NODES[1] - (NODES[2] + NODES[3]) / 2,
}


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("where", SPECIAL)
def test_targets_on_the_element_give_finite_continuous_values(kernel, where):
    p = SPECIAL[where]
    step = 1e-7 * (p - CENTROID) / np.linalg.norm(p - CENTROID)
    got = fields(NODES, CONN, VECTOR, kernel, [p, p + step, p - step])
    assert np.all(np.isfinite(got))
    if kernel != "h_from_m":
        # A of both sources and H of a current density are continuous.
        np.testing.assert_allclose(got[0], got[1], rtol=1e-4, atol=1e-4 * np.abs(got[1]).max())
    elif where in ("face", "face_plane_outside_triangle"):
        # H of a magnetisation jumps across the face: the on-face value is one side's.
        assert min(np.abs(got[0] - got[1]).max(), np.abs(got[0] - got[2]).max()) < 1e-4 * np.abs(got[1]).max()


@pytest.mark.parametrize("kernel", KERNELS)
def test_same_bits_for_every_thread_count_and_target_count(kernel):
    nodes, conn = box_mesh((2, 1, 1), (1.0, 1.0, 1.0))
    rng = np.random.default_rng(5)
    vectors = rng.normal(size=(conn.shape[0], 3))
    targets = rng.uniform(-0.5, 1.5, size=(37, 3))
    targets[:3] = nodes[conn[0, :3]]  # on nodes of the mesh
    ref = fields(nodes, conn, vectors, kernel, targets, n_threads=1)
    assert np.all(np.isfinite(ref))
    for n_threads in (0, 2, 7):
        np.testing.assert_array_equal(fields(nodes, conn, vectors, kernel, targets, n_threads), ref)
    for n in (1, 3, 4, 5, 8, 13):
        np.testing.assert_array_equal(fields(nodes, conn, vectors, kernel, targets[-n:], 2), ref[-n:])
