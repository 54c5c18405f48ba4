"""Tetrahedral meshes: orientation of the elements."""
import numpy as np

from corvane import _validation


def signed_volumes(nodes, connectivity):
    """Signed volume of each element (m³), (n_elements,): positive when
    (p1 - p0) · ((p2 - p0) × (p3 - p0)) > 0."""
    nodes, connectivity = _validation.mesh(nodes, connectivity)
    return _signed_volumes(nodes, connectivity)


def orient(nodes, connectivity):
    """A positively oriented copy of the connectivity, and how many rows it flipped.

    nodes: real (n_nodes, 3); connectivity: integer (n_elements, 4). Rows whose
    signed volume is negative get nodes 1 and 2 exchanged, so that every
    element satisfies (p1 - p0) · ((p2 - p0) × (p3 - p0)) >= 0; flat rows are
    left as they are. Returns (uint32 (n_elements, 4), int).

    The fields do not depend on the node order, but `_corvane.mesh_surface_faces`
    only sees the connectivity: its faces point outward when the elements are
    positively oriented.
    """
    nodes, connectivity = _validation.mesh(nodes, connectivity)
    flip = _signed_volumes(nodes, connectivity) < 0.0
    oriented = connectivity.copy()
    oriented[flip, 1], oriented[flip, 2] = connectivity[flip, 2], connectivity[flip, 1]
    return oriented, int(flip.sum())


def _signed_volumes(nodes, connectivity):
    p = nodes[connectivity]
    u, v, w = p[:, 1] - p[:, 0], p[:, 2] - p[:, 0], p[:, 3] - p[:, 0]
    return np.einsum("ij,ij->i", u, np.cross(v, w)) / 6.0
