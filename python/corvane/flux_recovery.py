"""B inside soft parts, from the flux through their surface.

The solve finds M and H at the element centroids. Their charges converge
fast, and with them every field outside the parts and the forces; but at
high χ they leave M inside a part almost free: a field of M with little
charge passes through I − D χ nearly unchanged, so the collocated M drifts
along such fields by as much as M itself. In a ball of χ = 1e4 in a
uniform field (2,694 elements) μ0 (H + M) came out of the wrong sign at
the centre and from −13 to 12 times the closed form element by element,
while the ball's moment was right to 2e-4; a steel ball below the knee of
its B–H curve, 53 % off RMS.

Inside a part, B is instead found from the part's own potential problem,
as a finite-element code would find it: H = H_s − grad ψ in each element,
with H_s the applied field and the coils' at the centroid (the part's
curl-free sources need no sampling: ψ takes their gradients) and ψ linear
in each element and continuous at the faces' centroids (Crouzeix-Raviart,
one value per face, the preconditioner's unknowns). Its equations are the
flux through every face: B = μ0 (H + M(H)) has the same normal flux on both
sides of every face inside, and on the surface the solve's own flux
μ0 (H + M)·n through each face, which its charges get right. B is then
divergence-free element by element and continuous in its normal component
across the surface. On the ball: within 0.6 % RMS of the closed form at
every χ from 100 to 1e4 (22 % RMS at χ = 1000 before; at χ = 10 both 0.4 %),
and 0.54 % on the steel ball. A B–H curve makes the problem nonlinear:
Newton steps with its tangent law, from the secant susceptibility of the
solve's own field.
"""
import numpy as np
import pyamg
import scipy.sparse as sp
from scipy.sparse.csgraph import connected_components

from corvane.element_faces import FACE_NODES, face_area_vectors, unique_triples
from corvane.materials import MU0

# The potential problem's conjugate gradients stop at this relative residual.
# Its right-hand side holds μ H_s, up to χ times the fluxes of the solution
# in a soft part: 1e-10 left a linear part's fluxes out by 3e-8 of the
# largest and took a second solve to pass the Newton test below.
_ACCURACY = 1e-12
_MAX_ITERATIONS = 1000
# Newton steps for a nonlinear law, until no face's net flux is more than
# this share of the largest flux through a face, and halvings of a step.
_NEWTON_ACCURACY = 1e-8
_NEWTON_STEPS = 50
_HALVINGS = 30


def recovered_flux(nodes, connectivity, elements, law, h_source, flux_density, h_solved):
    """B (k, 3), in T, of the elements `elements` of soft parts.

    law(h) -> (M (k, 3), dM/dH (k, 3, 3)) at fields h (k, 3) in the
    elements; h_source (k, 3): the applied field and the coils' at their
    centroids; flux_density (n_elements, 3): the solve's μ0 (H + M) of every
    element, whose normal components on the parts' surface give the flux
    through it; h_solved (k, 3): the solve's H there, whose secant
    susceptibility |M|/|H| starts the Newton iteration of a nonlinear law (a
    linear one is solved in its first step).
    """
    elements = np.asarray(elements)
    corners = nodes[connectivity[elements]]
    area = face_area_vectors(corners)                                                  # (k, 4, 3), outward
    volumes = np.abs(np.einsum("kj,kj->k", np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]),
                               corners[:, 3] - corners[:, 0])) / 6.0
    _, face_of = unique_triples(np.sort(connectivity[elements][:, FACE_NODES], axis=2).reshape(-1, 3))
    face_of = face_of.reshape(-1, 4)
    n_faces = int(face_of.max()) + 1
    rows, columns = np.repeat(face_of, 4, axis=1).ravel(), np.tile(face_of, (1, 4)).ravel()

    def flux_matrix(permeability):
        """Face f's outward flux of permeability · (−grad ψ) from its elements, against ψ (each
        element's grad ψ = Σ ψ_g a_g / V): the face Laplacian weighted by (k, 3, 3) permeabilities."""
        coupling = np.einsum("kfi,kij,kgj->kfg", area, permeability / volumes[:, None, None], area)
        return sp.csr_matrix((coupling.ravel(), (rows, columns)), shape=(n_faces, n_faces))

    # The flux out through each face from its elements is zero inside the
    # parts, and the solve's own flux on their surface.
    on_surface = np.bincount(face_of.ravel(), minlength=n_faces)[face_of] == 1                 # (k, 4)
    flux = np.einsum("kj,kfj->kf", flux_density[elements], area)[on_surface]
    surface = face_of[on_surface]
    pattern = flux_matrix(np.broadcast_to(np.eye(3), (len(elements), 3, 3)))
    # Each connected piece's surface fluxes must add up to zero for its
    # problem to have a solution: what the collocation leaves over (a few
    # 1e-4 of the fluxes' magnitude) is taken from each face in proportion
    # to its flux, and one face per piece is held at 0.
    n_pieces, piece = connected_components(pattern, directed=False)
    on_piece = piece[surface]
    share = np.abs(flux) if np.abs(flux).any() else np.linalg.norm(area[on_surface], axis=1)
    imbalance = np.bincount(on_piece, flux, n_pieces) / np.maximum(np.bincount(on_piece, share, n_pieces), 1e-300)
    target = np.bincount(surface, flux - imbalance[on_piece] * share, n_faces)
    free = np.ones(n_faces, dtype=bool)
    free[np.unique(piece, return_index=True)[1]] = False

    def field(potential):
        return h_source - np.einsum("kf,kfj->kj", potential[face_of], area) / volumes[:, None]

    def residual(h):
        """(the faces' net outward flux less the target, the tangent law, the largest flux through a face)."""
        m, tangent = law(h)
        outward = np.einsum("kj,kfj->kf", MU0 * (h + m), area)
        return np.bincount(face_of.ravel(), outward.ravel(), n_faces) - target, tangent, np.abs(outward).max()

    def converged(r, largest, accuracy=_NEWTON_ACCURACY):
        return np.abs(r[free]).max(initial=0.0) <= accuracy * largest

    # First step: the secant permeability at the solve's own field.
    m, _ = law(h_solved)
    size = np.linalg.norm(h_solved, axis=1)
    secant = np.divide(np.linalg.norm(m, axis=1), size, out=np.zeros_like(size), where=size > 0.0)
    permeability = MU0 * (1.0 + secant)[:, None, None] * np.eye(3)
    potential = np.zeros(n_faces)
    r = np.bincount(face_of.ravel(), np.einsum("kij,kj,kfi->kf", permeability, h_source, area).ravel(),
                    n_faces) - target
    potential[free] = _solve(flux_matrix(permeability)[free][:, free].tocsr(), r[free])
    h = field(potential)
    r, tangent, largest = residual(h)
    for _ in range(_NEWTON_STEPS):
        if converged(r, largest):
            break
        step = np.zeros(n_faces)
        step[free] = _solve(flux_matrix(MU0 * (np.eye(3) + tangent))[free][:, free].tocsr(), r[free])
        # Backtracking on the residual: a saturating law's tangent overshoots far from the solution.
        for fraction in 0.5 ** np.arange(_HALVINGS):
            trial = field(potential + fraction * step)
            r_trial, tangent_trial, largest_trial = residual(trial)
            if np.linalg.norm(r_trial[free]) < np.linalg.norm(r[free]):
                break
        else:
            # Nothing lowers a residual already at the potential solves' accuracy.
            if converged(r, largest, 1e3 * _NEWTON_ACCURACY):
                break
            raise RuntimeError("the flux recovery's Newton iteration found no step that lowers its residual")
        potential, h, r, tangent, largest = potential + fraction * step, trial, r_trial, tangent_trial, largest_trial
    else:
        if not converged(r, largest, 1e3 * _NEWTON_ACCURACY):
            raise RuntimeError(f"the flux recovery's Newton iteration reached only "
                               f"{np.abs(r[free]).max() / largest:.1e} in {_NEWTON_STEPS} steps")
    m, _ = law(h)
    return MU0 * (h + m)


def _solve(matrix, rhs):
    """The symmetric positive definite system, by conjugate gradients with smoothed aggregation."""
    scale = np.linalg.norm(rhs)
    if scale == 0.0:
        return np.zeros_like(rhs)
    # pyamg draws random numbers for its spectral estimates: seeded, and the caller's state put back.
    caller_random = np.random.get_state()
    np.random.seed(0)
    try:
        hierarchy = pyamg.smoothed_aggregation_solver(matrix, symmetry="hermitian", max_coarse=500)
        residuals = []
        x = hierarchy.solve(rhs / scale, tol=_ACCURACY, maxiter=_MAX_ITERATIONS, accel="cg", residuals=residuals)
    finally:
        np.random.set_state(caller_random)
    if not residuals[-1] <= 10.0 * _ACCURACY * residuals[0]:
        raise RuntimeError(f"the flux recovery's potential problem reached only {residuals[-1] / residuals[0]:.1e}")
    return x * scale
