"""Tetrahedral meshes for the examples, made with gmsh's Python API.

`generate` runs a function that adds OpenCASCADE solids, meshes them with
first-order tetrahedra and returns the arrays _corvane takes: float64 nodes
(n_nodes, 3), uint32 connectivity (n_elements, 4), positively oriented, and
the index of the solid each element belongs to (in the order they were added).
`locate` finds the element that holds a point, for drawing fields that jump
at material boundaries.
"""
import numpy as np


def generate(add_solids, size, min_size=None, size_at=None):
    """Mesh the solids (apart from each other) whose tags add_solids(occ)
    returns; size is the largest edge (m), size_at(x, y, z) an optional
    smaller local one."""
    import gmsh

    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("example")
        solids = add_solids(gmsh.model.occ)
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.option.setNumber("Mesh.MeshSizeMin", min_size if min_size is not None else size / 4)
        gmsh.option.setNumber("Mesh.RandomSeed", 1.0)
        if size_at is not None:
            gmsh.model.mesh.setSizeCallback(lambda dim, tag, x, y, z, lc: min(lc, size_at(x, y, z)))
        gmsh.model.mesh.generate(3)
        tags, coords, _ = gmsh.model.mesh.getNodes()
        index = np.full(int(tags.max()) + 1, -1, dtype=np.int64)
        index[tags.astype(np.int64)] = np.arange(tags.size)
        conn, region = [], []
        for r, solid in enumerate(solids):
            _, element_nodes = gmsh.model.mesh.getElementsByType(4, solid)
            rows = index[element_nodes.astype(np.int64)].reshape(-1, 4)
            conn.append(rows)
            region.append(np.full(len(rows), r))
    finally:
        gmsh.finalize()
    nodes = np.ascontiguousarray(coords.reshape(-1, 3), dtype=np.float64)
    conn = np.concatenate(conn).astype(np.uint32)
    p = nodes[conn]
    flip = np.einsum("ij,ij->i", p[:, 1] - p[:, 0], np.cross(p[:, 2] - p[:, 0], p[:, 3] - p[:, 0])) < 0
    conn[flip, 1], conn[flip, 2] = conn[flip, 2].copy(), conn[flip, 1].copy()
    return nodes, conn, np.concatenate(region)


def ball(radius, size):
    """A ball of the given radius centred at the origin."""
    nodes, conn, _ = generate(lambda occ: [occ.addSphere(0.0, 0.0, 0.0, radius)], size)
    return nodes, conn


def locate(nodes, conn, points, chunk=500):
    """Index of the element holding each point, -1 outside the mesh."""
    p0 = nodes[conn[:, 0]]
    edges = np.stack([nodes[conn[:, k]] - p0 for k in (1, 2, 3)], axis=2)  # (M, 3, 3), columns
    inverse = np.linalg.inv(edges)
    found = np.full(len(points), -1)
    for start in range(0, len(points), chunk):
        d = points[start:start + chunk, None, :] - p0[None]                  # (k, M, 3)
        lam = np.einsum("mij,kmj->kmi", inverse, d)
        inside = (lam >= -1e-12).all(axis=2) & (lam.sum(axis=2) <= 1 + 1e-12)
        hit = inside.any(axis=1)
        found[start:start + chunk][hit] = inside[hit].argmax(axis=1)
    return found
