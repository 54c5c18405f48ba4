"""Preconditioner of the magnetisation solve: the magnetic parts' own potential problem.

The solve's system is (I − D χ) H = b at the centroids of the magnetic
elements. D χ H is the field of the magnetic charges of M = χ H, the jump of
its normal component across every face (and its normal component on the
parts' surface): a field whose M has no charges passes through I − D χ
unchanged, and a field with charges is amplified by up to 1 + χ. The
spectrum therefore spreads from 1 to χ, and GMRES slows down with χ.

The preconditioner models D on fields with charges by −c times the
projection onto gradients of face potentials (Crouzeix-Raviart gradients:
(1/V) Σ_faces φ_f a_f per element, a_f the outward area vector), the fields
whose charges are as large as any of the same energy, and inverts that
model exactly by the Woodbury identity:

    P⁻¹ r = r − c V⁻¹ Qᵀ (Q (I + c χ) V⁻¹ Qᵀ)⁻¹ Q χ r,

Q mapping element vectors to face charges. The matrix in the middle is a
Crouzeix-Raviart Laplacian weighted by I + c χ, the discrete form of
−div((1 + c χ) grad φ) on the parts: sparse, symmetric positive
semi-definite (constant φ on a connected part is its null space, fixed by
pinning one face per part). Fields without charges pass through P⁻¹
unchanged, as they pass through I − D χ, so the preconditioned spectrum no
longer grows with χ: on gmsh balls and a closed steel frame it lies within
about [0.03, 2] for χ from 10 to 1e5, and jumps of χ between materials or
directions (a Newton step's tangents) are carried by the weights.

The parts' surface is insulating in that problem but for links across
narrow gaps (`_gap_conductances`). With `air=True` the air around the
parts is added instead (`corvane.exterior_air`): a Delaunay mesh of air
points graded away from the parts, its piecewise-linear Laplacian, each
surface face joined to its corners by a layer of air 0.7 times as thick as
the face is wide, the potential grounded a few extents away. The flux of
the charges then closes across gaps and round the parts as it does in
I − D χ, and the count falls on closed circuits and small parts (frame
29 → 18, balls of 2,694 and 9,695 elements 26 → 17 and 22 → 16, two slabs
across a gap 41 → 35 to rtol 1e-8) and, since the thinner layer, on the
10⁵-element ball (19 → 16). Linear solves use it by default.

Fields with charges are amplified by up to 1 + χ, so the potential must be
solved to about 1/χ relative: conjugate gradients, preconditioned by a
two-level cycle, to 1e-2 / (1 + c χ_max) on the parts alone and 1e-1 /
(1 + c χ_max) with the air (at most 1e-4). Solved only that far, P⁻¹ is not
quite linear, and the solve's GMRES is the flexible kind. On the frame
(χ = 1000) the count is the same from 1e-5 to 1e-2 (29 evaluations without
air, 20 with) at 40 % fewer cycles, grows at 1e-1 (33 without air) and
explodes at 1 (157 and 102); a fixed number of stationary cycles (linear by
construction) had to stop at 1e-2 / (1 + c χ) to stay affordable, and the
count then rose from 27 to 37 evaluations between 1e4 and 1e5 elements.
A cycle smooths on the unknowns (a forward Gauss-Seidel sweep before,
a backward one after) and corrects on the nodes: the
continuous piecewise-linear potentials on the parts' nodes (and the air
points), a face taking the mean of its corners, whose Galerkin matrix (a
tenth of the size without air) gets one V-cycle of a
smoothed aggregation multigrid built by pyamg (its levels' point
Gauss-Seidel sweeps likewise). That cycle is five times cheaper
than aggregation on the faces themselves, whose V-cycle contracts slowly on
this nonconforming Laplacian (0.65 per cycle); a sparse direct
factorisation fills in too much in three dimensions (20 s for 1e4 elements).
Symmetric sweeps on each side took about as many cycles and 1.17 times as
long on an 85,000-element yoke with the air, two of them 1.6 times.

Conjugate gradients and the cycle run in C++ (`corvane._multigrid`) on
copies of the matrices, without the interpreter lock: in Python, calls and
temporaries took a fifth of the applications' time on the steel frame. The
faces and air points are numbered colour by colour (no two coupled unknowns
share a colour), each colour in reverse Cuthill-McKee order and then by the
length of its rows, so that the fine sweeps share every colour among the
solve's threads with the same result for any thread count, and a row's
loop ends where the processor predicts; the nodal sweeps run on one
thread, in the same kind of order, their products on all. On a
99,809-element ball the applications took 4.3 s in Python, 3.1 s in C++ on
one thread, 2.5 s on two.
"""
import time

import numpy as np
import pyamg
import scipy.sparse as sp
from scipy.linalg import lapack
from scipy.sparse.csgraph import connected_components, reverse_cuthill_mckee
from scipy.spatial import cKDTree

from corvane import _multigrid
from corvane.element_faces import FACE_NODES, face_area_vectors, unique_triples
from corvane.exterior_air import air_mesh, stiffness

# The model's share of the element's own field: D of a charged field is
# about −c times it. c = 1/2 sits in the middle of the spectrum of D on
# charged fields (1/3 for the uniform field of a sphere, up to 1 for fields
# that alternate from element to element); the counts vary little with it.
_MODEL_SHARE = 0.5
# The potential's relative accuracy times 1 + c χ_max, within these bounds:
# on the parts alone, and with the air. With the air, 1e-1 took as many
# evaluations as 1e-2 on the frame (linear 19, B-H curve 59), the 2 mm
# C-yoke (74), the balls of 2,694 (χ 1e3 and 1e5: 20, 21), 9,695 and 99,809
# elements (18), in 11-20 % fewer cycles, and the 1 mm C-yoke 81 instead of
# 79 in 77 s instead of 92; 3e-1 took one more on the χ = 1e5 ball. On the
# parts alone the frame's count grew at 1e-1 (29 to 33).
_ACCURACY, _ACCURACY_WITH_AIR = 1e-2, 1e-1
_LOOSEST, _TIGHTEST = 1e-4, 1e-12
_MAX_CYCLES = 200
# How far, in face sizes, a boundary face looks across air for the face it faces.
_GAP_REACH = 5.0
# The air layer between a surface face and its corners, in face sizes.
# The slowest modes of the preconditioned solve are charges on the surface
# faces that vary from face to face: the model answers them too strongly,
# and a thinner layer (more conductance into the air) lifts them. On a
# 681-element ball (χ 1e3, dense) the preconditioned spectrum's lowest
# eigenvalue was 0.11, 0.17 and 0.28 for layers of 1, 0.5 and 0.25 face
# sizes; thinner still, the air behind must be finer or the highest rise.
# 0.7 with cells down to 4 face sizes: balls of 2,694 elements (χ 1e3 and
# 1e5) 17 and 19 evaluations instead of 20 and 21, 9,695 and 99,809
# elements 16 and 16 instead of 18, the frame 18 instead of 19 (its B-H
# curve 57 instead of 59), the 1 mm C-yoke 79 instead of 80 in 42 s
# instead of 44.6.
_LAYER = 0.7
# Pieces of strongly weighted elements whose constants the coarse levels carry, the largest first.
_MAX_PIECES = 8


class PotentialPreconditioner:
    """P⁻¹ for (I − D χ) H = b on the elements of `connectivity`.

    nodes (n_nodes, 3) and connectivity (m, 4) of the magnetic elements (any
    orientation); `air` adds the air around them to the potential problem;
    n_threads share the fine sweeps (0: one per processor). `set_chi(chi)`
    prepares for χ, (m,) numbers or (m, 3, 3) symmetric tensors with
    I + χ/2 positive definite; the object is then called on
    residuals (m, 3) and returns P⁻¹ r (m, 3). `info` holds the faces, the
    gap links or the air mesh's points and elements, the multigrid's bytes,
    the seconds spent on set-up and on applications, the applications and
    their cycles.
    """

    def __init__(self, nodes, connectivity, air=False, n_threads=0):
        started = time.perf_counter()
        self._n_threads = n_threads
        m = len(connectivity)
        corners = nodes[connectivity]                                # (m, 4, 3)
        area = face_area_vectors(corners)                           # (m, 4, 3)
        faces, face_of = unique_triples(np.sort(connectivity[:, FACE_NODES], axis=2).reshape(-1, 3))
        n_faces = len(faces)
        rows = np.repeat(face_of, 3)
        columns = (3 * np.repeat(np.arange(m), 4)[:, None] + np.arange(3)).ravel()
        face_charges = sp.csr_matrix((area.ravel(), (rows, columns)), shape=(n_faces, 3 * m))
        volumes = np.abs(np.einsum("mj,mj->m", np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]),
                                   corners[:, 3] - corners[:, 0])) / 6.0
        positive = volumes > 0.0
        # A flat element carries no field; give it the smallest real volume
        # so that the face Laplacian stays finite.
        volumes[~positive] = volumes[positive].min() if positive.any() else 1.0
        self._inverse_volumes = 1.0 / volumes
        element_face = sp.csr_matrix((np.ones(4 * m), (np.repeat(np.arange(m), 4), face_of)), shape=(m, n_faces))
        shared = element_face.T @ element_face
        n_parts, _ = connected_components(shared, directed=False)
        used, corner = np.unique(faces, return_inverse=True)
        corner = corner.reshape(-1, 3)
        # Faces take the mean of their corners' potentials on the coarse level.
        to_faces = sp.csr_matrix((np.full(3 * n_faces, 1.0 / 3.0), (np.repeat(np.arange(n_faces), 3), corner.ravel())),
                                 shape=(n_faces, len(used)))
        on_surface = np.bincount(face_of, minlength=n_faces) == 1
        exterior = air_mesh(nodes, connectivity, faces[on_surface]) if air and on_surface.any() else None
        if exterior is None:
            # The parts alone, their surface insulating but for the links
            # across narrow gaps: one face pinned per piece of parts joined
            # through shared elements or across gaps.
            gaps = _gap_conductances(corners[:, FACE_NODES], area, face_of, n_faces)
            _, piece = connected_components(shared + (gaps != 0), directed=False)
            pinned = np.zeros(n_faces, dtype=bool)
            pinned[np.unique(piece, return_index=True)[1]] = True
            selected, n_unknowns = np.flatnonzero(~pinned), n_faces - int(pinned.sum())
            # The Laplacian's terms outside the parts: the gap links, or the air mesh below.
            self._air = gaps.tocsr()[~pinned][:, ~pinned].tocsr()
            to_unknowns = to_faces[~pinned]
            n_air_points = n_air_elements = 0
        else:
            # Unknowns: the potentials of the faces, then those of the air
            # mesh's points but the grounded ones (the surface nodes first).
            # Each surface face is joined to its corners by the air of a
            # layer as thick as the face is wide: smooth potentials pass
            # into the air, while the faces keep the freedom that the
            # charges of rough fields need.
            surface, points, tetrahedra, grounded = exterior
            free = np.flatnonzero(~grounded)
            selected, n_unknowns = np.arange(n_faces), n_faces + len(free)
            face_area = np.zeros(n_faces)
            np.add.at(face_area, face_of, np.linalg.norm(area.reshape(-1, 3), axis=1))
            link = np.repeat(np.sqrt(face_area[on_surface]) / (3.0 * _LAYER), 3)
            face = np.repeat(np.flatnonzero(on_surface), 3)
            node = n_faces + np.searchsorted(surface, faces[on_surface]).ravel()
            rows, columns = np.concatenate([face, node, face, node]), np.concatenate([face, node, node, face])
            links = sp.csr_matrix((np.concatenate([link, link, -link, -link]), (rows, columns)),
                                  shape=(n_unknowns, n_unknowns))
            self._air = links + sp.block_diag([sp.csr_matrix((n_faces, n_faces)),
                                               stiffness(points, tetrahedra)[free][:, free]], format="csr")
            to_unknowns = _coarse_map(to_faces, np.searchsorted(used, surface), len(used), len(free) - len(surface))
            n_air_points, n_air_elements = len(points), len(tetrahedra)
        # Unknowns in colour classes of the Laplacian's graph (the faces of an
        # element, the air's links), so that the solver's sweeps share each
        # colour among threads; within a colour in a bandwidth-reducing order,
        # so that consecutive rows read nearby values.
        # The unknowns: the selected faces, then the air's points, if any.
        coupled = (shared if len(selected) == n_faces else shared[selected][:, selected]).tocsr()
        coupled.resize((n_unknowns, n_unknowns))
        pattern = (coupled + abs(self._air)).tocsr()
        near = reverse_cuthill_mckee(pattern, symmetric_mode=True)
        colors = pyamg.graph.vertex_coloring(pattern[near][:, near].tocsr(), method="MIS")
        # Within a colour, rows of one length together (in the bandwidth-reducing
        # order): the sweeps' loops over a row then end where the processor
        # predicts. Inner faces have seven entries, the rest from five to over
        # thirty; mixed, a sweep of the frame took 134 µs, sorted 110.
        by_color = np.lexsort((np.diff(pattern.indptr)[near], colors))
        order = near[by_color]
        self._color_starts = np.searchsorted(colors[by_color], np.arange(colors.max(initial=-1) + 2)).astype(np.int64)
        # Element vectors to the unknowns' charges (Q, the faces' rows in the
        # unknowns' order, none for the air's), and back (Qᵀ).
        charges = face_charges if len(selected) == n_faces else face_charges[selected]
        self._charges = sp.vstack([charges, sp.csr_matrix((n_unknowns - len(selected), 3 * m))], format="csr")[order]
        self._fields = self._charges.T.tocsr()
        self._air = self._air[order][:, order].tocsr()
        self._to_unknowns = to_unknowns.tocsr()[order]
        self._corners = np.searchsorted(used, connectivity)
        self._sweep_order = self._to_swept = None
        self._element_face = element_face
        self._chi = None
        self._solver = None
        self._accuracy = _LOOSEST
        self.info = {"faces": n_faces, "parts": int(n_parts), "gap_links": 0 if exterior else gaps.nnz // 4,
                     "air_points": n_air_points, "air_elements": n_air_elements, "bytes": 0,
                     "setup_seconds": time.perf_counter() - started, "apply_seconds": 0.0,
                     "applications": 0, "cycles": 0}

    def set_chi(self, chi):
        started = time.perf_counter()
        m = len(self._inverse_volumes)
        c = _MODEL_SHARE
        if chi.ndim == 1:
            weight = sp.diags(np.repeat((1.0 + c * chi) * self._inverse_volumes, 3))
        else:
            blocks = (np.eye(3) + c * chi) * self._inverse_volumes[:, None, None]
            # Block diagonal, built directly: scipy's block_diag takes seconds for 10^5 blocks.
            columns = np.broadcast_to(3 * np.arange(m)[:, None, None] + np.arange(3), (m, 3, 3))
            weight = sp.csr_matrix((blocks.ravel(), columns.ravel(), np.arange(0, 9 * m + 1, 3)), shape=(3 * m, 3 * m))
        laplacian = (self._charges @ weight @ self._fields + self._air).tocsr()
        element_weight = 1.0 + c * (chi if chi.ndim == 1 else np.linalg.eigvalsh(chi)[:, -1])
        accuracy = _ACCURACY_WITH_AIR if self.info["air_points"] else _ACCURACY
        self._accuracy = min(_LOOSEST, max(_TIGHTEST, accuracy / element_weight.max()))
        # The map's transpose formed for the product alone: the solver keeps its own.
        coarse = (self._to_unknowns.T.tocsr() @ laplacian @ self._to_unknowns).tocsr()
        # pyamg estimates spectral radii from NumPy's global random numbers:
        # seeded here (and the caller's state put back) so that a solve repeats
        # to the last bit from run to run.
        caller_random = np.random.get_state()
        np.random.seed(0)
        try:
            hierarchy = pyamg.smoothed_aggregation_solver(
                coarse, B=self._candidates(element_weight), symmetry="hermitian",
                strength=("symmetric", {"theta": 0.0}), max_coarse=500)
        finally:
            np.random.set_state(caller_random)
        levels = hierarchy.levels
        if self._sweep_order is None:
            # The first level's nodes swept like the fine rows: in a
            # bandwidth-reducing order, then by their rows' length (stable),
            # on one thread (an application on the frame 8 % cheaper, the same
            # cycles). Aggregated in the nodes' own order, whose aggregates
            # are fewer (543 against 621 on the frame). The pattern does not
            # change with χ.
            order = reverse_cuthill_mckee(coarse, symmetric_mode=True)
            self._sweep_order = order[np.argsort(np.diff(coarse.indptr)[order], kind="stable")]
            self._to_swept = self._to_unknowns[:, self._sweep_order].tocsr()
        order = self._sweep_order
        first = levels[0].A.tocsr()[order][:, order]
        matrices = [first] + [level.A for level in levels[1:]]
        prolongations = [level.P.tocsr()[order] if k == 0 else level.P for k, level in enumerate(levels[:-1])]
        restrictions = [level.R.tocsr()[:, order] if k == 0 else level.R for k, level in enumerate(levels[:-1])]
        self._solver = _multigrid.two_level_solver(
            _csr(laplacian), _csr(self._to_swept), _csr(self._to_swept.T), [_csr(matrix) for matrix in matrices],
            [_csr(matrix) for matrix in prolongations], [_csr(matrix) for matrix in restrictions],
            _coarsest_inverse(matrices[-1].toarray()), self._color_starts, self._n_threads)
        self._chi = chi
        held = sum(matrix.data.nbytes + matrix.indices.nbytes + matrix.indptr.nbytes
                   for matrix in (self._charges, self._fields, self._air, self._to_unknowns, self._to_swept))
        held += _multigrid.bytes_held(self._solver)
        self.info["bytes"] = max(self.info["bytes"], held)
        self.info["setup_seconds"] += time.perf_counter() - started

    def __call__(self, residual):
        chi = self._chi
        charged = chi[:, None] * residual if chi.ndim == 1 else np.einsum("mij,mj->mi", chi, residual)
        started = time.perf_counter()
        b = self._charges @ charged.ravel()
        potential, cycles = _multigrid.solve(self._solver, b, self._accuracy, _MAX_CYCLES)
        self.info["cycles"] += cycles
        self.info["applications"] += 1
        correction = (self._fields @ potential).reshape(-1, 3) * self._inverse_volumes[:, None]
        self.info["apply_seconds"] += time.perf_counter() - started
        return residual - _MODEL_SHARE * correction

    def _candidates(self, element_weight):
        """The potentials the nodal multigrid must represent on its coarse levels.

        Besides constants, those constant on each connected piece of
        strongly weighted elements (weights above the geometric middle of
        their range): across a weak part (a magnet between steel parts) such
        a piece floats almost freely, and aggregates that straddle the weak
        part cannot represent it (197 cycles instead of 12 on the frame).
        """
        n_nodes = self._to_unknowns.shape[1]
        candidates = [np.ones(n_nodes)]
        strong = element_weight >= np.sqrt(element_weight.max() * element_weight.min())
        if strong.any() and not strong.all():
            faces = self._element_face[strong]
            n_pieces, piece = connected_components(faces @ faces.T, directed=False)
            for k in np.argsort(-np.bincount(piece))[:_MAX_PIECES]:
                indicator = np.zeros(n_nodes)
                indicator[self._corners[strong][piece == k].ravel()] = 1.0
                candidates.append(indicator)
        return np.column_stack(candidates)


def _coarsest_inverse(a):
    """The inverse of the coarsest level's matrix a (symmetric, positive
    semi-definite): through its Cholesky factor when that shows it well
    conditioned, ten times faster than a singular value decomposition
    (64 against 6 ms at 543 unknowns, the steel frame with its magnet),
    else its pseudo-inverse."""
    factor, info = lapack.dpotrf(a, lower=True)
    if info == 0:
        pivots = np.abs(np.diag(factor))
        # The factor's pivots bound the condition number from below by their squared ratio.
        if pivots.min() > 1e-6 * pivots.max():
            inverse, info = lapack.dpotri(factor, lower=True)
            if info == 0:
                inverse = np.tril(inverse)
                inverse += np.tril(inverse, -1).T
                return inverse
    return np.linalg.pinv(a, hermitian=True)


def _csr(matrix):
    """A sparse matrix as the (rows, cols, indptr, indices, data) of its compressed rows."""
    matrix = matrix.tocsr()
    if matrix.nnz >= 2**31 or max(matrix.shape) >= 2**31:
        raise MemoryError("the preconditioner's matrices outgrow 32-bit column indices")
    return (matrix.shape[0], matrix.shape[1], matrix.indptr.astype(np.int64), matrix.indices.astype(np.int32),
            matrix.data.astype(np.float64))


def _coarse_map(to_faces, surface, n_used, n_cloud):
    """Coarse nodes (the parts' nodes in use, then the air points off their
    surface) to unknowns (faces: the mean of their corners; the surface
    nodes and the air points: themselves)."""
    n_surface = len(surface)
    picks = sp.csr_matrix((np.ones(n_surface), (np.arange(n_surface), surface)), shape=(n_surface, n_used))
    return sp.bmat([[to_faces, None], [picks, None], [None, sp.identity(n_cloud)]], format="csr") if n_cloud \
        else sp.vstack([to_faces, picks], format="csr")


def _gap_conductances(triangles, area, face_of, n_faces):
    """The air between boundary faces that face each other across a narrow gap, as a face Laplacian.

    The potential problem on the parts alone treats their surface as
    insulating, so flux that closes through an air gap (a magnetic
    circuit's, or between two parts) has no path in it. Each boundary face
    is linked to the nearest boundary face straight in front of it (normals
    within 37° of opposite, offset across less than the two faces' sizes)
    within _GAP_REACH of its size, with the conductance of the air between
    them, area / distance, shared by the two directions. Wider air is left
    out: its flux fringes, and the model of the parts' own field stands in
    for it. On the steel frame: 33 evaluations instead of 39 at χ = 1000.
    """
    counts = np.bincount(face_of, minlength=n_faces)
    slots = np.flatnonzero(counts[face_of] == 1)
    if len(slots) < 2:
        return sp.csr_matrix((n_faces, n_faces))
    vectors = area.reshape(-1, 3)[slots]
    areas = np.linalg.norm(vectors, axis=1)
    normals = vectors / np.where(areas > 0.0, areas, 1.0)[:, None]
    sizes = np.sqrt(areas)
    centres = triangles.reshape(-1, 3, 3)[slots].mean(axis=1)
    # Face i looks along its normal at the faces j within its reach.
    near = cKDTree(centres).query_ball_point(centres, _GAP_REACH * sizes, return_sorted=False)
    i = np.repeat(np.arange(len(slots)), [len(faces) for faces in near])
    j = np.fromiter((face for faces in near for face in faces), dtype=np.intp, count=len(i))
    offset = centres[j] - centres[i]
    distance = np.einsum("kj,kj->k", offset, normals[i])
    across = np.linalg.norm(offset - distance[:, None] * normals[i], axis=1)
    facing = ((np.einsum("kj,kj->k", normals[i], normals[j]) < -0.8) & (distance > 0.05 * sizes[i])
              & (across < 0.7 * (sizes[i] + sizes[j])))
    i, j, distance = i[facing], j[facing], distance[facing]
    if not len(i):
        return sp.csr_matrix((n_faces, n_faces))
    # The nearest facing face of each face.
    order = np.lexsort((np.linalg.norm(offset[facing], axis=1), i))
    i, j, distance = i[order], j[order], distance[order]
    first = np.r_[True, i[1:] != i[:-1]]
    i, j, distance = i[first], j[first], distance[first]
    g = 0.5 * areas[i] / distance
    fi, fj = face_of[slots[i]], face_of[slots[j]]
    return sp.csr_matrix((np.concatenate([g, g, -g, -g]), (np.concatenate([fi, fj, fi, fj]),
                                                           np.concatenate([fi, fj, fj, fi]))),
                         shape=(n_faces, n_faces))
