"""Shared fixtures: small meshes and the module's PanicException type."""
import numpy as np
import pytest

import _corvane


def _panic_type():
    # PanicException is not a module attribute: provoke one internal failure.
    nodes = np.zeros((4, 3))
    conn = np.array([[0, 1, 2, 3]], dtype=np.uint32)
    try:
        _corvane.calculate_fields(nodes, conn, np.zeros((1, 3)), 1, 1, np.zeros((0, 3)),
                                  False, 1, False, 0.5, 1, 10, 10)
    except BaseException as exc:  # noqa: BLE001 - this is the point
        return type(exc)
    raise AssertionError("no internal failure raised")


PanicException = _panic_type()


@pytest.fixture
def panic():
    return PanicException


def unit_tet():
    nodes = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]])
    conn = np.array([[0, 1, 2, 3]], dtype=np.uint32)
    return nodes, conn


def box_mesh(nx, ny, nz, size=(1.0, 1.0, 1.0)):
    """A box split into 6 positively oriented tetrahedra per hexahedron."""
    xs, ys, zs = (np.linspace(0.0, s, n + 1) for s, n in zip(size, (nx, ny, nz)))
    gx, gy, gz = np.meshgrid(xs, ys, zs, indexing="ij")
    nodes = np.column_stack([gx.ravel(), gy.ravel(), gz.ravel()])
    idx = np.arange(nodes.shape[0]).reshape(nx + 1, ny + 1, nz + 1)
    c = [idx[i:i + nx, j:j + ny, k:k + nz].ravel()
         for i, j, k in [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0),
                         (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]]
    # Kuhn split along the 0-6 diagonal.
    paths = [(1, 2), (2, 3), (3, 7), (7, 4), (4, 5), (5, 1)]
    tets = []
    for a, b in paths:
        tets.append(np.column_stack([c[0], c[a], c[b], c[6]]))
    conn = np.concatenate(tets).astype(np.uint32)
    p = nodes[conn]
    vol = np.einsum("ij,ij->i", p[:, 1] - p[:, 0], np.cross(p[:, 2] - p[:, 0], p[:, 3] - p[:, 0]))
    neg = vol < 0
    conn[neg, 1], conn[neg, 2] = conn[neg, 2].copy(), conn[neg, 1].copy()
    return nodes, conn
