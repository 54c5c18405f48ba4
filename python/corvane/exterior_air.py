"""The air around the magnetic parts as tetrahedra, for the preconditioner's potential problem.

The parts' own mesh ends at their surface; the flux of their charges
closes through the air around them (across gaps, round a rod's ends, out
of a ball). `air_mesh` fills that air with a Delaunay tetrahedralisation of
the parts' surface nodes and of points graded from a few of the surface's
element sizes near it to a few times the parts' extent far away, grounded
on a cube that far out. Its tetrahedra need not match the parts' surface exactly:
those whose centroid lies in a part are left out, and so are slivers.
"""
import numpy as np
import scipy.sparse as sp
from scipy.spatial import Delaunay, QhullError, cKDTree

from corvane.point_location import Locator

# Half the side of the grounded cube, in extents of the parts.
_FAR = 4.0
# A cell of the point cloud is split while it is larger than its distance to
# the nearest surface node times _GRADING (at most 1, so that every cell the
# surface crosses is split), and than the surface's local element size times
# _COARSEST. Coarse air keeps most of the gain at a fraction of the cost: on
# the frame, 20 evaluations with cells down to 8 face sizes (applications as
# dear as without air), 19 with 2 (applications 1.4 times dearer), 22 with 4,
# with the surface faces joined to the air by a layer one face size thick.
# With the thinner layer (the preconditioner's _LAYER) the highest modes
# want finer air: cells down to 4 face sizes took 18 on the frame, 8 took 19.
_GRADING = 1.0
_COARSEST = 4.0
# Air points closer to the surface than this share of its element size are left out.
_CLEARANCE = 0.5
# How far the surface nodes move for the tetrahedralisation, in their element sizes.
_NUDGE = 1e-3
# Tetrahedra flatter than this (six volumes over the longest edge cubed) are left out.
_SLIVER = 1e-3


def air_mesh(nodes, connectivity, surface_faces):
    """Points and air tetrahedra around the elements `connectivity` of `nodes`.

    surface_faces (k, 3): node indices of the parts' surface triangles.
    Returns (surface, points, tetrahedra, grounded): the surface's node
    indices (into `nodes`), the coordinates of all the air mesh's points
    (the surface nodes first, in that order), its tetrahedra (indices into
    `points`) and a mask of the grounded points. None where no air mesh can
    be formed (flat or too few points).
    """
    surface, local = np.unique(surface_faces, return_inverse=True)
    local = local.reshape(-1, 3)
    on_surface = nodes[surface]
    if len(surface) < 4:
        return None
    corners = on_surface[local]
    face_size = np.sqrt(0.5 * np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]),
                                             axis=1))
    # Each surface node's size: the mean size of its faces.
    node_size = np.bincount(local.ravel(), np.repeat(face_size, 3), len(surface)) / np.bincount(local.ravel(),
                                                                                                minlength=len(surface))
    low, high = on_surface.min(axis=0), on_surface.max(axis=0)
    extent = (high - low).max()
    if not extent > 0.0 or not node_size.min() > 0.0:
        return None
    centre = 0.5 * (low + high)
    half_side = _FAR * extent
    tree = cKDTree(on_surface)
    rng = np.random.default_rng(0)
    # Cells refined towards the surface; each leaf gives its centre, moved a
    # little off the grid so that the tetrahedralisation is not degenerate.
    centres, half = centre[None, :], half_side
    clouds = []
    while len(centres):
        distance, nearest = tree.query(centres)
        split = (2.0 * half > _COARSEST * node_size[nearest]) & (2.0 * half > _GRADING * distance)
        leaves = centres[~split]
        keep = distance[~split] > _CLEARANCE * node_size[nearest[~split]]
        clouds.append(leaves[keep] + rng.uniform(-0.15, 0.15, (int(keep.sum()), 3)) * half)
        offsets = np.array([[i, j, k] for i in (-1, 1) for j in (-1, 1) for k in (-1, 1)]) * (0.5 * half)
        centres = (centres[split][:, None, :] + offsets).reshape(-1, 3)
        half *= 0.5
    cloud = np.concatenate(clouds)
    # Flat elements hold no point: the locator leaves them out itself.
    locator = Locator(nodes, connectivity, np.arange(len(connectivity)))
    cloud = cloud[locator(cloud) < 0]
    far = centre + half_side * np.array([[i, j, k] for i in (-1, 0, 1) for j in (-1, 0, 1) for k in (-1, 0, 1)
                                         if (i, j, k) != (0, 0, 0)])
    points = np.concatenate([on_surface, cloud, far])
    # The surface nodes are tetrahedralised a little off their places: those
    # of a ball lie on one sphere, a degenerate input that took Qhull 8 s
    # for 6,000 points instead of 0.1 s. The air's Laplacian is formed on
    # the nodes' true places. Qhull joggles the points too (QJ) rather than
    # merging facets that are nearly coplanar: a third faster (0.042 against
    # 0.061 s on the steel frame's 3,853 points), the same counts.
    # Qhull works in the points' own coordinates: centred and in extents, so
    # that a part far from the origin (its hull "narrow" against the offset)
    # or of any size gets the same tetrahedra.
    moved = points.copy()
    moved[:len(surface)] += rng.uniform(-1.0, 1.0, (len(surface), 3)) * (_NUDGE * node_size)[:, None]
    moved = (moved - centre) / extent
    try:
        tetrahedra = Delaunay(moved, qhull_options="QJ Qbb").simplices
    except (QhullError, ValueError):
        return None
    p = points[tetrahedra]
    edges = p[:, 1:] - p[:, :1]
    six_volumes = np.abs(np.einsum("tj,tj->t", np.cross(edges[:, 0], edges[:, 1]), edges[:, 2]))
    pairs = p[:, [0, 0, 0, 1, 1, 2]] - p[:, [1, 2, 3, 2, 3, 3]]
    longest = np.sqrt(np.einsum("tkj,tkj->tk", pairs, pairs).max(axis=1))
    outside = locator(p.mean(axis=1)) < 0
    tetrahedra = tetrahedra[outside & (six_volumes > _SLIVER * longest ** 3)]
    grounded = np.zeros(len(points), dtype=bool)
    grounded[len(points) - len(far):] = True
    return surface, points, tetrahedra, grounded


def stiffness(points, tetrahedra):
    """The piecewise-linear Laplacian ∫ grad u · grad v of the tetrahedra, on all the points."""
    p = points[tetrahedra]
    e1, e2, e3 = (p[:, k] - p[:, 0] for k in (1, 2, 3))
    # The inverse of the edge matrix by cross products (its columns grad λ1..λ3),
    # much faster than a batched inverse of 3 x 3 matrices.
    crosses = np.stack([np.cross(e2, e3), np.cross(e3, e1), np.cross(e1, e2)], axis=2)   # (t, 3, 3)
    determinants = np.einsum("tj,tj->t", e1, crosses[:, :, 0])
    gradients = crosses / determinants[:, None, None]
    gradients = np.concatenate([-gradients.sum(axis=2, keepdims=True), gradients], axis=2)
    volumes = np.abs(determinants) / 6.0
    local = np.einsum("tji,tjk->tik", gradients, gradients) * volumes[:, None, None]   # (t, 4, 4)
    rows = np.repeat(tetrahedra, 4, axis=1).ravel()
    columns = np.tile(tetrahedra, (1, 4)).ravel()
    return sp.csr_matrix((local.ravel(), (rows, columns)), shape=(len(points), len(points)))
