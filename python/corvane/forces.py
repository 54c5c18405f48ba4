"""Force and torque on a region of a solved model, without its own field.

Three ways, which agree where all apply:
- Maxwell stress over a closed surface in air around the region: the boundary
  of the region grown by the elements that share a node with it, when those
  and the elements across the surface from them are air (no material). Only
  the cross terms of the stress between the region's own field B_s and the
  field of everything else B_o are summed, T(B_s + B_o) - T(B_s) - T(B_o):
  the other two integrate to zero exactly over a closed surface, and dropping
  them removes their quadrature error. The surface faces are split into
  4^SURFACE_LEVELS triangles, each with the 7 points of a degree-5 rule.
- Magnetic charges: a uniform magnetisation M in an element is the surface
  charge M·n on its faces, and the force on the region is μ0 times the
  integral of its charges against H_o, the field of everything else (the
  torque is that of the same face forces; it holds the couple μ0 M × H_o).
  Faces inside the region carry the jump of M across them; the region's
  boundary faces carry its own M·n, and the field there is taken on the
  region's side of the face: where another body touches the region, its
  charge on the shared face lies on the far side, as it does when the two
  move apart. The field is the exact element integrals at the points of a
  rule on each face that is finer near other sources (CHARGE_RULES); between touching faces in one
  plane, the sideways pull is the closed form's edge integrals instead. Pairwise forces between charges cancel, so
  the forces on the parts of a closed system add up to zero up to that
  quadrature, whatever the mesh does to the magnetisation.
- Volume forces: the Kelvin force density μ0 (M·∇)H_o with the couple
  μ0 M × H_o for the torque, on the region's magnetised elements. H_o is
  evaluated at the four points of the degree-2 Gauss rule of every element,
  never on an element face, so that bodies in contact stay finite; the
  Kelvin density is the gradient of its linear fit there.
The Lorentz force J × B_o on the region's current-carrying elements, at the
same Gauss points, completes the last two.
"""
import numpy as np

import _corvane
from corvane import _field_operator
from corvane.materials import MU0

_GAUSS_CORNER, _GAUSS_REST = 0.5854101966249685, 0.1381966011250105
SURFACE_LEVELS = 1
# The 7-point rule of degree 5 on a triangle (barycentric points, weights summing to 1).
_A1, _B1, _A2, _B2 = 0.059715871789770, 0.470142064105115, 0.797426985353087, 0.101286507323456
_SURFACE_RULE = (np.array([[1 / 3, 1 / 3, 1 / 3], [_A1, _B1, _B1], [_B1, _A1, _B1], [_B1, _B1, _A1],
                           [_A2, _B2, _B2], [_B2, _A2, _B2], [_B2, _B2, _A2]]),
                 np.array([0.225] + [0.132394152788506] * 3 + [0.125939180544827] * 3))
METHODS = ("auto", "maxwell", "charge", "kelvin")
# Element faces in the oriented order of `_corvane.mesh_surface_faces`: outward for positive elements.
_ELEMENT_FACES = np.array([[0, 3, 2], [0, 2, 1], [0, 1, 3], [1, 2, 3]])
# Rules on a triangle, barycentric points with equal weights: the centroid (degree 1) and
# (2/3, 1/6, 1/6) and its permutations (degree 2).
_TRIANGLE_RULES = {1: np.full((1, 3), 1 / 3),
                   3: np.array([[2 / 3, 1 / 6, 1 / 6], [1 / 6, 2 / 3, 1 / 6], [1 / 6, 1 / 6, 2 / 3]])}
# (times split by edge midpoints, points per triangle) for the faces far from other sources,
# within three face sizes of one, inside the body with a corner on one, and on the body's
# boundary with a corner on one. The centroid alone on the far faces left 1e-3 (torque 4.5e-3)
# between two magnet cubes 4 mm apart and 3.4e-4 of action and reaction in contact; three
# points, 5.7e-6 (6e-5) and 5.7e-7, at about the same cost. Faces inside a body carry only the
# jump of M, small beside the charge of the faces that touch: twelve points on them as on those
# cost a quarter of a contact force and moved it by under 1e-5.
CHARGE_RULES = ((0, 3), (0, 3), (0, 3), (1, 3))
TOUCHING = 2   # the rules from here on: faces with a corner on other sources
_PAIR_REACH = 1.0
# Points sit this fraction of the face size inside the region's element.
_INSIDE = 1e-9


def force_and_torque(mesh, sources, air, elements, method="auto", progress=False):
    """(force (3,) N, torque about the origin (3,) N·m, method used) on the given elements.

    sources: the model's `field_sources.Sources`; air: mask of the elements
    without material; method: "auto" (Maxwell stress when the region is
    surrounded by air, else magnetic charges), "maxwell", "charge" or "kelvin".
    """
    own, other = sources.split(elements)
    faces = maxwell_surface(mesh, elements, air) if method in ("auto", "maxwell") else None
    if faces is not None:
        return (*_maxwell_stress(mesh.nodes, faces, own, other, progress), "maxwell")
    if method == "maxwell":
        raise ValueError("the Maxwell stress needs the region surrounded by air: every element that shares "
                         "a node with it, and every element across the surface they make, without material")
    if method == "kelvin":
        return (*_volume_forces(mesh, own, other, elements, progress), "kelvin")
    return (*_charge_forces(mesh, own, other, elements, progress), "charge")


def maxwell_surface(mesh, elements, air):
    """Outward faces (F, 3) of a closed surface in air around the elements, or None where there is none.

    The surface bounds the elements grown by those that share a node with
    them; it lies in air when those added elements are air and so is every
    element on the other side of a surface face.
    """
    connectivity = mesh.connectivity
    inside = np.zeros(len(connectivity), dtype=bool)
    inside[elements] = True
    region_nodes = np.zeros(len(mesh.nodes), dtype=bool)
    region_nodes[connectivity[inside]] = True
    grown = inside | region_nodes[connectivity].any(axis=1)
    layer = grown & ~inside
    if not layer.any() or not air[layer].all():
        return None
    faces = _corvane.mesh_surface_faces(np.ascontiguousarray(connectivity[grown]))
    # A face with all its nodes on the region is the region's own boundary
    # reaching the mesh's outer surface.
    if region_nodes[faces].all(axis=1).any():
        return None
    surface_nodes = np.zeros(len(mesh.nodes), dtype=bool)
    surface_nodes[faces] = True
    beyond = ~grown & ~air & (surface_nodes[connectivity].sum(axis=1) >= 3)
    if beyond.any():
        element_faces = connectivity[beyond][:, [[0, 1, 2], [0, 1, 3], [0, 2, 3], [1, 2, 3]]].reshape(-1, 3)
        if np.isin(_face_keys(element_faces), _face_keys(faces)).any():
            return None
    return faces


def _face_keys(faces):
    """One comparable value per face, whatever the order of its nodes."""
    return np.ascontiguousarray(np.sort(faces, axis=1).astype(np.uint32)).view(np.dtype((np.void, 12))).ravel()


def _maxwell_stress(nodes, faces, own, other, progress):
    triangles = _subdivide(nodes[faces], SURFACE_LEVELS)
    flat = np.ascontiguousarray(triangles.reshape(-1, 3))
    areas, _, normals = _corvane.mesh_surface_face_properties(
        flat, np.arange(len(flat), dtype=np.uint32).reshape(-1, 3))
    # The stress is smooth on the surface (it lies in air, an element away
    # from the region): a degree-5 rule on each piece.
    points, weights = _SURFACE_RULE
    at = np.ascontiguousarray(np.einsum("qk,tkx->tqx", points, triangles).reshape(-1, 3))
    areas = np.ascontiguousarray((areas[:, None] * weights[None, :]).ravel())
    normals = np.ascontiguousarray(np.repeat(normals, len(weights), axis=0))
    b_own, b_other = MU0 * own.H(at, progress), MU0 * other.H(at, progress)
    traction = _corvane.mesh_surface_forces

    def stress(b):
        return traction(areas, normals, np.ascontiguousarray(b))

    forces = stress(b_own + b_other) - stress(b_own) - stress(b_other)
    return forces.sum(axis=0), np.cross(at, forces).sum(axis=0)


def _subdivide(triangles, levels):
    """Each triangle (F, 3, 3) split into 4^levels of the same orientation, by its edge midpoints."""
    for _ in range(levels):
        a, b, c = triangles[:, 0], triangles[:, 1], triangles[:, 2]
        ab, bc, ca = (a + b) / 2, (b + c) / 2, (c + a) / 2
        triangles = np.stack([np.stack(t, axis=1) for t in ((a, ab, ca), (ab, b, bc), (ca, bc, c), (ab, bc, ca))],
                             axis=1).reshape(-1, 3, 3)
    return triangles


def _charge_forces(mesh, own, other, elements, progress):
    elements = np.asarray(elements)
    magnetized = elements[own.magnetization[elements].any(axis=1)]
    faces = _charge_faces(mesh, own.magnetization, magnetized, _source_points(mesh, other))
    points, weights, ends = _charge_quadrature(*faces)
    # The currents' Lorentz force shares the one field evaluation.
    carrying = elements[own.current[elements].any(axis=1)]
    gauss = _gauss_points(mesh.nodes[mesh.connectivity[carrying]])
    h = other.H(np.concatenate([points, gauss.reshape(-1, 3)]), progress)
    per_point = MU0 * weights[:, None] * h[:len(points)]
    force = per_point.sum(axis=0)
    torque = np.cross(ends, per_point).sum(axis=0)
    if len(carrying):
        j = own.current[carrying]
        lorentz = (mesh.volumes[carrying, None, None] / 4) * np.cross(j[:, None, :],
                                                                      MU0 * h[len(points):].reshape(-1, 4, 3))
        force = force + lorentz.sum(axis=(0, 1))
        torque = torque + np.cross(gauss, lorentz).sum(axis=(0, 1))
    correction = _touching_correction(mesh, own, other, magnetized, faces)
    return force - correction[0], torque - correction[1]


def _touching_correction(mesh, own, other, magnetized, faces):
    """What the quadrature of the charges touching other bodies adds to the region's force and torque
    beyond pairwise action and reaction.

    The faces of the region that touch other sources and the faces of the others that touch the
    region's sources exchange forces F_ab (on a, by the quadrature of a's charge in b's field) and
    F_ba; exactly F_ab = -F_ba, but the field of a charge sheet on its own face and next to its
    edges is where the quadrature errs, and its errors on F_ab and F_ba do not cancel (the
    tangential field of a sheet on itself, for one, integrates to zero but its samples do not).
    Each such pair is counted as (F_ab - F_ba) / 2 instead: this returns (F_ab + F_ba) / 2 summed,
    force and torque, with the sheets' fields in closed form.
    """
    touching = faces[3] >= TOUCHING
    others = np.flatnonzero(other.magnetization.any(axis=1))
    if not touching.any() or not len(others):
        return np.zeros(3), np.zeros(3)
    near = _source_points(mesh, own)
    # Only the others' elements with a corner on the region's sources can hold faces touching it.
    tolerance = 1e-12 * np.ptp(mesh.nodes, axis=0).max()
    corners_at, _ = near[1].query(mesh.nodes[mesh.connectivity[others]].reshape(-1, 3), distance_upper_bound=tolerance)
    at_region = np.isfinite(corners_at).reshape(-1, 4).any(axis=1)
    theirs = _charge_faces(mesh, other.magnetization, others[at_region], near)
    theirs = tuple(a[theirs[3] >= TOUCHING] for a in theirs)
    mine = tuple(a[touching] for a in faces)
    a, b = _close_pairs(mine, theirs, tolerance)
    normal = _unit_normals(mine[0][a])
    # Per pair, by the quadrature: (F_ab, its normal part, their torques), then the same of F_ba.
    parts = []
    for receiving, acting, r_index, a_index in ((mine, theirs, a, b), (theirs, mine, b, a)):
        sums = np.zeros((4, len(r_index), 3))
        # The receiving faces rule by rule, each rule with its own number of points.
        for level in np.unique(receiving[3]):
            faces_at = np.flatnonzero(receiving[3] == level)
            pick = np.flatnonzero(receiving[3][r_index] == level)
            at = np.searchsorted(faces_at, r_index[pick])
            points, weights, ends = (x.reshape(len(faces_at), -1, *x.shape[1:])[at] for x in
                                     _charge_quadrature(*(f[faces_at] for f in receiving)))
            field = _field_operator.sheet_field(acting[0][a_index[pick]], acting[1][a_index[pick]], points,
                                                own.n_threads)
            per_point = MU0 * weights[:, :, None] * field
            n = normal[pick]
            along_n = np.einsum("pqx,px->pq", per_point, n)
            moments = np.einsum("pqi,pqj->pij", ends, per_point)    # torque: its antisymmetric part
            torque = np.stack([moments[:, 1, 2] - moments[:, 2, 1], moments[:, 2, 0] - moments[:, 0, 2],
                               moments[:, 0, 1] - moments[:, 1, 0]], axis=1)
            sums[:, pick] = [per_point.sum(axis=1), along_n.sum(axis=1)[:, None] * n, torque,
                             np.cross(np.einsum("pq,pqx->px", along_n, ends), n)]
        parts.append(sums)
    (f_ab, fn_ab, t_ab, tn_ab), (f_ba, fn_ba, t_ba, tn_ba) = parts
    force, torque = 0.5 * (f_ab + f_ba), 0.5 * (t_ab + t_ba)
    coplanar = _coplanar(mine[0][a], theirs[0][b], normal)
    if coplanar.any():
        pull, turn = _coplanar_pull(mine[0][a[coplanar]], mine[1][a[coplanar]], theirs[0][b[coplanar]],
                                    theirs[1][b[coplanar]])
        force[coplanar] = f_ab[coplanar] - fn_ab[coplanar] - pull + 0.5 * (fn_ab[coplanar] + fn_ba[coplanar])
        torque[coplanar] = t_ab[coplanar] - tn_ab[coplanar] - turn + 0.5 * (tn_ab[coplanar] + tn_ba[coplanar])
    return force.sum(axis=0), torque.sum(axis=0)


# Gauss-Legendre points on [0, 1] and their weights, for the edges of coplanar touching faces.
_EDGE_POINTS, _EDGE_WEIGHTS = np.polynomial.legendre.leggauss(16)
_EDGE_RULE = ((_EDGE_POINTS + 1.0) / 2.0, _EDGE_WEIGHTS / 2.0)


def _area_vectors(corners):
    """Twice the area vectors (P, 3) of the triangles corners (P, 3, 3)."""
    return np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])


def _unit_normals(corners):
    n = _area_vectors(corners)
    return n / np.linalg.norm(n, axis=1, keepdims=True)


def _coplanar(corners_a, corners_b, normal_a):
    """Which pairs of triangles (P, 3, 3) lie in one plane (to 1e-9 of their size)."""
    normal_b = _unit_normals(corners_b)
    size = np.maximum(_face_sizes(corners_a), _face_sizes(corners_b))
    offsets = np.abs(np.einsum("pkx,px->pk", corners_b - corners_a[:, :1], normal_a)).max(axis=1)
    return (np.linalg.norm(np.cross(normal_a, normal_b), axis=1) < 1e-9) & (offsets < 1e-9 * size)


def _coplanar_pull(corners_a, charges_a, corners_b, charges_b):
    """The tangential force (P, 3) of the uniformly charged triangles b on a in their plane, and its
    torque about the origin (P, 3); charges in A·m (charge density times area).

    The sheet b's field is H_b = -σ_b/(4π) ∇φ_b, φ_b = ∫_b 1/R dA, so by the divergence theorem in
    the plane μ0 σ_a ∫_a H_b,t dA = -μ0 σ_a σ_b/(4π) ∮_∂a φ_b ν dl (ν: a's outward normal in the
    plane), and the moment about a's centroid c is the same with (x - c) × ν (the trace part of
    ∫ (x - c) ∇φ has no moment). φ_b is continuous, so Gauss-Legendre on a's edges converges
    where samples of the log-singular field did not.
    """
    normal = _unit_normals(corners_a)
    area_a, area_b = (0.5 * np.linalg.norm(_area_vectors(corners), axis=1) for corners in (corners_a, corners_b))
    start, end = corners_a, np.roll(corners_a, -1, axis=1)                       # edges (P, 3, 3)
    along = end - start
    length = np.linalg.norm(along, axis=2)
    outward = np.cross(along, normal[:, None, :]) / length[:, :, None]          # corners run anticlockwise about normal
    s, w = _EDGE_RULE
    y = start[:, :, None, :] + s[None, None, :, None] * along[:, :, None, :]    # (P, 3 edges, G, 3)
    weight = length[:, :, None] * w[None, None, :]
    potential = _in_plane_potential(corners_b, y)                               # (P, 3, G)
    scale = -MU0 * (charges_a / area_a) * (charges_b / area_b) / (4.0 * np.pi)
    pull = scale[:, None] * np.einsum("peg,pex->px", weight * potential, outward)
    centre = corners_a.mean(axis=1)
    arm = np.cross(y - centre[:, None, None, :], outward[:, :, None, :])         # (P, 3, G, 3)
    turn = scale[:, None] * np.einsum("peg,pegx->px", weight * potential, arm)
    return pull, np.cross(centre, pull) + turn


def _in_plane_potential(corners, y):
    """∫ 1/|x - y| dA over the triangles corners (P, 3, 3) at points y (P, ..., 3) in their planes.

    Each edge adds the point's distance to the edge's line (positive on the triangle's side) times
    ln((R1 + R2 + l)/(R1 + R2 - l)), the logarithm formed without the cancellation of R1 + R2 - l
    beside the edge; on the edge's line the distance is zero and so is the term. In the plane,
    |(p - y) × edge| is that distance times l.
    """
    shape = (len(corners),) + (1,) * (y.ndim - 2) + (3,)
    normal = _unit_normals(corners)
    to_corner = [corners[:, k].reshape(shape) - y for k in range(3)]
    reach = [np.sqrt(np.einsum("...x,...x->...", a, a)) for a in to_corner]
    total = np.zeros(y.shape[:-1])
    for k in range(3):
        a, b, r1, r2 = to_corner[k], to_corner[(k + 1) % 3], reach[k], reach[(k + 1) % 3]
        edge = corners[:, (k + 1) % 3] - corners[:, k]
        length = np.linalg.norm(edge, axis=1)
        inward = (np.cross(edge, normal) / length[:, None]).reshape(shape)
        length = length.reshape(shape[:-1])
        ab = np.einsum("...x,...x->...", a, b)
        distance = np.einsum("...x,...x->...", a, inward)
        with np.errstate(divide="ignore", invalid="ignore"):
            gap = np.where(ab < 0.0, (distance * length) ** 2 / (r1 * r2 - ab), r1 * r2 + ab)
            logarithm = np.log1p(length * (r1 + r2 + length) / gap)
            total += np.where(np.abs(distance) > 1e-13 * length, distance * logarithm, 0.0)
    return total


def _close_pairs(mine, theirs, tolerance):
    """(a, b): the pairs of faces mine[a], theirs[b] whose quadrature the touching correction
    mends: closer than _PAIR_REACH times the sum of their sizes (the quadrature gets farther
    ones right), and with a corner in common or both on their bodies' boundaries.

    The pairs left out, an interior face (the jump of M inside a body) against a face with no
    corner in common, are most pairs; on the contact meshes of the benchmark their corrections
    together moved the forces by 1e-8 (a magnet resting on a plate) to 6e-7 (tilted on its edge),
    the tilted magnet's torque about its edge by 1.3e-6.
    """
    from scipy.sparse import coo_matrix
    from scipy.spatial import cKDTree

    # Corners in common: both sides' faces against the distinct corners of the region's.
    points, at_mine = np.unique(mine[0].reshape(-1, 3), axis=0, return_inverse=True)
    _, at_theirs = cKDTree(points).query(theirs[0].reshape(-1, 3), distance_upper_bound=tolerance)

    def incidence(n_faces, corners):
        rows, keep = np.repeat(np.arange(n_faces), 3), corners < len(points)
        return coo_matrix((np.ones(keep.sum()), (rows[keep], corners[keep])), shape=(n_faces, len(points))).tocsr()

    pairs = incidence(len(mine[0]), at_mine.ravel()) @ incidence(len(theirs[0]), at_theirs).T
    # Boundary faces (a step off the face; faces inside a body have none) within reach.
    outer = [np.flatnonzero((f[2] != 0).any(axis=1)) for f in (mine, theirs)]
    centres = [f[0][o].mean(axis=1) for f, o in zip((mine, theirs), outer)]
    sizes = [_face_sizes(f[0][o]) for f, o in zip((mine, theirs), outer)]
    candidates = cKDTree(centres[1]).query_ball_point(centres[0], _PAIR_REACH * (sizes[0] + sizes[1].max(initial=0.0)))
    a = np.repeat(np.arange(len(candidates)), [len(c) for c in candidates])
    b = np.concatenate([np.asarray(c, dtype=np.int64) for c in candidates] + [np.zeros(0, dtype=np.int64)])
    close = np.linalg.norm(centres[0][a] - centres[1][b], axis=1) < _PAIR_REACH * (sizes[0][a] + sizes[1][b])
    pairs = (pairs + coo_matrix((np.ones(close.sum()), (outer[0][a[close]], outer[1][b[close]])),
                                shape=pairs.shape)).tocoo()
    order = np.lexsort((pairs.col, pairs.row))
    return pairs.row[order].astype(np.int64), pairs.col[order].astype(np.int64)


def _face_sizes(corners):
    """The longest edge of each triangle (F, 3, 3)."""
    return np.linalg.norm(corners - corners[:, [1, 2, 0]], axis=2).max(axis=1)


def _charge_faces(mesh, magnetization, magnetized, sources):
    """The charged faces of the magnetised elements: (corners (F, 3, 3), charge (F,) in A·m, the
    step (F, 3) from a face to its evaluation points, its rule's position in CHARGE_RULES (F,)).

    A face between two of the elements carries the sum of their charges, the jump of M; a face
    on their boundary is evaluated a tiny step inside its element, so that the field of a
    neighbour's charge on the same face is the one on this side. sources: (points of the other
    sources' nodes, cKDTree of them) or None.
    """
    connectivity = mesh.connectivity[magnetized][:, _ELEMENT_FACES]
    corners = mesh.nodes[connectivity]                                      # (m, 4, 3, 3)
    area_vectors = 0.5 * np.cross(corners[:, :, 1] - corners[:, :, 0], corners[:, :, 2] - corners[:, :, 0])
    charges = np.einsum("mfk,mk->mf", area_vectors, magnetization[magnetized]).ravel()
    corners, area_vectors = corners.reshape(-1, 3, 3), area_vectors.reshape(-1, 3)
    _, first, inverse, counts = np.unique(_face_keys(connectivity.reshape(-1, 3)), return_index=True,
                                          return_inverse=True, return_counts=True)
    charges = np.bincount(inverse.ravel(), weights=charges, minlength=len(first))
    corners, area_vectors, shared = corners[first], area_vectors[first], counts == 2
    areas = np.linalg.norm(area_vectors, axis=1)
    scale = np.abs(magnetization[magnetized]).max(initial=0.0)
    keep = np.abs(charges) > 1e-12 * scale * areas
    corners, area_vectors, charges, shared, areas = (a[keep] for a in (corners, area_vectors, charges, shared, areas))
    size = _face_sizes(corners)
    step = -np.where(shared, 0.0, _INSIDE * size / areas)[:, None] * area_vectors
    return corners, charges, step, _charge_levels(sources, corners, size, shared)


def _charge_quadrature(corners, charges, step, level):
    """(evaluation points (P, 3), charge per point (P,), the points on the faces (P, 3))."""
    points, weights, ends = [np.zeros((0, 3))], [np.zeros(0)], [np.zeros((0, 3))]
    for k, (levels, n_points) in enumerate(CHARGE_RULES):
        chosen = level == k
        if not chosen.any():
            continue
        split = _subdivide(corners[chosen], levels).reshape(chosen.sum(), -1, 3, 3)
        at = np.einsum("qc,fscx->fsqx", _TRIANGLE_RULES[n_points], split).reshape(chosen.sum(), -1, 3)
        ends.append(at.reshape(-1, 3))
        points.append((at + step[chosen, None, :]).reshape(-1, 3))
        weights.append(np.repeat(charges[chosen] / at.shape[1], at.shape[1]))
    return np.concatenate(points), np.concatenate(weights), np.concatenate(ends)


def _source_points(mesh, sources):
    """The nodes of the elements carrying the sources and a cKDTree of them, or None."""
    sourced = sources.magnetization.any(axis=1) | sources.current.any(axis=1)
    if not sourced.any():
        return None
    from scipy.spatial import cKDTree

    points = mesh.nodes[np.unique(mesh.connectivity[sourced])]
    return points, cKDTree(points)


def _charge_levels(sources, corners, size, shared):
    """Per face, the position of its rule in CHARGE_RULES: far from the sources, within three face
    sizes of one of their nodes, or with a corner on one (inside the body or on its boundary)."""
    level = np.zeros(len(corners), dtype=np.int64)
    if sources is None or not len(corners):
        return level
    tree = sources[1]
    distance, _ = tree.query(corners.mean(axis=1))
    level[distance < 3.0 * size] = 1
    at, _ = tree.query(corners.reshape(-1, 3), distance_upper_bound=1e-12 * size.max())
    touching = np.isfinite(at).reshape(-1, 3).any(axis=1)
    level[touching] = np.where(shared[touching], TOUCHING, TOUCHING + 1)
    return level


def _volume_forces(mesh, own, other, elements, progress):
    elements = np.asarray(elements)
    magnetized = elements[own.magnetization[elements].any(axis=1)]
    carrying = elements[own.current[elements].any(axis=1)]
    points = [_gauss_points(mesh.nodes[mesh.connectivity[e]]) for e in (magnetized, carrying)]
    h = other.H(np.concatenate([p.reshape(-1, 3) for p in points]), progress)
    h_m, h_j = h[:4 * len(magnetized)], h[4 * len(magnetized):].reshape(-1, 4, 3)
    volumes = mesh.volumes

    force, torque = np.zeros(3), np.zeros(3)
    if len(magnetized):
        m = own.magnetization[magnetized]
        gauss = np.ascontiguousarray(points[0].reshape(-1, 3))
        tets = np.arange(len(gauss), dtype=np.uint32).reshape(-1, 4)
        density = MU0 * _corvane.mesh_kelvin_force_density(gauss, tets, np.ascontiguousarray(m), h_m)
        per_element = volumes[magnetized, None] * density
        couple = volumes[magnetized, None] * MU0 * np.cross(m, h_m.reshape(-1, 4, 3).mean(axis=1))
        force += per_element.sum(axis=0)
        torque += (np.cross(mesh.centroids[magnetized], per_element) + couple).sum(axis=0)
    if len(carrying):
        j = own.current[carrying]
        per_point = (volumes[carrying, None, None] / 4) * np.cross(j[:, None, :], MU0 * h_j)
        force += per_point.sum(axis=(0, 1))
        torque += np.cross(points[1], per_point).sum(axis=(0, 1))
    return force, torque


def _gauss_points(corners):
    """The four points of the degree-2 Gauss rule in each tetrahedron (m, 4, 3)."""
    return _GAUSS_REST * corners.sum(axis=1, keepdims=True) + (_GAUSS_CORNER - _GAUSS_REST) * corners
