"""Tetrahedral meshes: orientation of the elements, and the mesh with regions that models use."""
import numpy as np

import _corvane
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
    return _flipped(connectivity, flip), int(flip.sum())


def _flipped(connectivity, flip):
    """A copy of the connectivity with nodes 1 and 2 exchanged in the rows where flip is set."""
    oriented = connectivity.copy()
    oriented[flip, 1], oriented[flip, 2] = connectivity[flip, 2], connectivity[flip, 1]
    return oriented


def _signed_volumes(nodes, connectivity):
    p = nodes[connectivity]
    u, v, w = p[:, 1] - p[:, 0], p[:, 2] - p[:, 0], p[:, 3] - p[:, 0]
    return np.einsum("ij,ij->i", u, np.cross(v, w)) / 6.0


class Mesh:
    """A tetrahedral mesh with named regions: the geometry a `corvane.Model` is built on.

    nodes: real (n_nodes, 3), metres; connectivity: integer (n_elements, 4),
    node indices (any orientation: rows are oriented positively here);
    regions: {name: element indices}, names str or int, or None for one
    region "all" holding every element. Elements of zero volume are refused.

    Attributes: nodes (float64 (n_nodes, 3)), connectivity (uint32
    (n_elements, 4), positively oriented), regions ({name: int64 sorted
    element indices}), centroids and volumes (per element).
    """

    def __init__(self, nodes, connectivity, regions=None):
        nodes, connectivity = _validation.mesh(nodes, connectivity)
        if len(connectivity) == 0:
            raise ValueError("the mesh holds no tetrahedra")
        n_elements = len(connectivity)
        if regions is None:
            regions = {"all": np.arange(n_elements)}
        if not isinstance(regions, dict):
            raise TypeError(f"regions must be a dict of element indices, got {type(regions).__name__}")
        checked = {}
        for name, elements in regions.items():
            if isinstance(name, (bool, np.bool_)) or not isinstance(name, (str, int, np.integer)):
                raise TypeError(f"region names must be str or int, got {name!r}")
            if isinstance(name, np.integer):
                name = int(name)   # from np.unique, say
            elements = np.asarray(elements)
            if elements.size == 0:
                elements = elements.astype(np.int64)   # [] is float64 to NumPy
            if elements.dtype == np.bool_ or not np.issubdtype(elements.dtype, np.integer) or elements.ndim != 1:
                raise TypeError(f"region {name!r} must be a 1-d array of element indices")
            if elements.size and (elements.min() < 0 or elements.max() >= n_elements):
                raise ValueError(f"region {name!r} must hold element indices from 0 to {n_elements - 1}")
            checked[name] = np.unique(elements).astype(np.int64)
            checked[name].flags.writeable = False
        volumes = _signed_volumes(nodes, connectivity)
        flat = np.flatnonzero(volumes == 0.0)
        if flat.size:
            raise ValueError(f"the mesh has {flat.size} elements of zero volume, the first is element {flat[0]}")
        nodes, oriented = nodes.copy(), _flipped(connectivity, volumes < 0.0)
        for array in (nodes, oriented):
            array.flags.writeable = False
        self.nodes, self.connectivity, self.regions = nodes, oriented, checked
        self.volumes = np.abs(volumes)
        self.centroids = _corvane.mesh_centroids(nodes, oriented)
        for array in (self.volumes, self.centroids):
            array.flags.writeable = False

    def region(self, name):
        """The element indices of a region; ValueError naming the regions there are."""
        try:
            return self.regions[name]
        except (KeyError, TypeError):
            raise ValueError(f"region {name!r} is not in the mesh; its regions are: "
                             f"{', '.join(map(repr, self.regions)) or 'none'}") from None

    def __repr__(self):
        regions = ", ".join(f"{name!r}: {len(elements)}" for name, elements in self.regions.items())
        return f"Mesh({len(self.nodes)} nodes, {len(self.connectivity)} tetrahedra; regions {{{regions}}})"
