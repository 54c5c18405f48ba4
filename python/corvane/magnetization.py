"""Magnetisation of linear magnetic bodies by a Krylov solve over `_corvane`.

The material law M = χ·H holds at every element centroid, H being the applied
field plus the demagnetising field of all element magnetisations. SciPy's
GMRES solves that linear system; every product with the system matrix is one
`_corvane.calculate_fields` call.
"""
import sys

import numpy as np
from scipy.sparse.linalg import LinearOperator, gmres

import _corvane
from corvane import _validation

_MAGNETIZATION = 1
_H_FIELD = 1
# GMRES keeps restart + 1 basis vectors of three values per magnetic element:
# it restarts rather than hold more than about this many values (512 MiB), and
# after at most _MAX_RESTART products (its Hessenberg matrix has restart²).
_BASIS_VALUES = 2**26
_MAX_RESTART = 1000


def solve_magnetization(nodes, connectivity, chi, h_ext, *, rtol=1e-6, max_evaluations=500,
                        element_integration=True, use_octree=False, theta=0.5, multipole_order=1,
                        max_leaf_size=16, batch_size=1024, n_threads=0, progress=False):
    """Self-consistent magnetisation of a tetrahedral mesh of linear magnetic material.

    nodes: real (n_nodes, 3), metres. connectivity: integer (n_elements, 4),
    0-based node indices of positively oriented tetrahedra. chi: the
    susceptibility, one number for all elements or one per element
    (n_elements,), finite and >= 0; elements with χ = 0 are not magnetic and
    stay exactly unmagnetised. h_ext: the applied field (A/m) at the element
    centroids, (n_elements, 3), or one vector (3,) for a uniform field.

    Solves (I - D χ) H = h_ext for the field H at the centroids of the
    magnetic elements, D being the demagnetising field of a magnetisation
    there: one `_corvane.calculate_fields` call, direct or through the octree
    (use_octree with theta, multipole_order, max_leaf_size, batch_size).
    rtol bounds the residual relative to h_ext (Euclidean norms over the
    magnetic elements); max_evaluations bounds the number of field
    evaluations. progress=True reports the residual after every evaluation, on
    a tqdm bar when tqdm is installed, otherwise one line each on standard
    error.

    Returns (M, H), float64 arrays of shape (n_elements, 3): the magnetisation
    of each element (A/m) and the total field at its centroid (A/m, h_ext
    included). Raises TypeError or ValueError on bad input before any work, and
    RuntimeError naming the residual reached when the solve has not converged
    within max_evaluations. Ctrl-C (KeyboardInterrupt) ends the solve after the
    field evaluation in progress.

    Through the octree the field is linear in M only up to the expansions'
    error, and the residual levels off near it (about 3e-5 at theta = 0.5 for
    χ = 100 on 1e4 elements): choose rtol above that or a smaller theta.
    """
    nodes, connectivity, chi, h_ext = _mesh_arrays(nodes, connectivity, chi, h_ext)
    rtol = _validation.real("rtol", rtol)
    if not rtol > 0.0:
        raise ValueError(f"rtol must be > 0, got {rtol!r}")
    max_evaluations = _validation.count("max_evaluations", max_evaluations, minimum=1)
    theta = _validation.real("theta", theta)
    if not theta >= 0.0:
        raise ValueError(f"theta must be >= 0, got {theta!r}")
    settings = dict(element_integration=_validation.flag("element_integration", element_integration),
                    n_threads_requested=_validation.count("n_threads", n_threads, minimum=0),
                    use_octree=_validation.flag("use_octree", use_octree), theta=theta,
                    multipole_order=_validation.count("multipole_order", multipole_order, minimum=0),
                    max_leaf_size=_validation.count("max_leaf_size", max_leaf_size, minimum=1),
                    batch_size=_validation.count("batch_size", batch_size, minimum=1))
    progress = _validation.flag("progress", progress)

    magnetic = chi > 0.0
    others = ~magnetic
    M = np.zeros(h_ext.shape)
    H = h_ext.copy()
    if not h_ext[magnetic].any():
        return M, H
    centroids = _corvane.mesh_centroids(nodes, connectivity)
    # Elements with χ = 0 carry no magnetisation: they are left out of the
    # sources and of the unknowns, and only receive the final field.
    field = _Field(nodes, np.ascontiguousarray(connectivity[magnetic]), settings)
    reserve = 1 if others.any() else 0
    with _Progress(progress, max_evaluations) as report:
        field.report = report
        solution = _solve(field, centroids[magnetic], chi[magnetic], h_ext[magnetic], rtol,
                          max_evaluations - reserve, report)
        if solution is None:
            hint = ("; through the octree the residual levels off near the expansions' error: "
                    "raise rtol or lower theta") if settings["use_octree"] else ""
            raise RuntimeError(
                f"solve_magnetization did not converge within {max_evaluations} field evaluations: "
                f"relative residual {report.last:.3e}, rtol {rtol:.3e}{hint}")
        M[magnetic], h_demag = solution
        H[magnetic] += h_demag
        if reserve:
            H[others] += field(M[magnetic], centroids[others])
    return M, H


def _solve(field, targets, chi, h_ext, rtol, budget, report):
    """GMRES for the total field H at the magnetic centroids.

    Returns (M, H - h_ext) there, or None when the residual (the last one
    passed to `report`) is still above rtol after `budget` field evaluations.
    """
    chi3 = np.repeat(chi, 3)
    b = h_ext.ravel()
    b_norm = np.linalg.norm(b)
    last = {"x": np.zeros_like(b), "h": np.zeros_like(b)}

    def apply(x):
        # (I - D χ) x. D χ x of the last x is kept: SciPy's GMRES ends every
        # cycle on b - A x and starts the next one from the same x.
        if not np.array_equal(x, last["x"]):
            last["x"], last["h"] = x.copy(), field(np.reshape(chi3 * x, (-1, 3)), targets).ravel()
        return x - last["h"]

    n = b.size
    operator = LinearOperator((n, n), matvec=apply, dtype=np.float64)
    x = last["x"]
    # One GMRES cycle per call, restarted here rather than inside SciPy, so
    # that every cycle ends on the true residual and starts afresh from it.
    # The octree's field is linear only up to its approximation error (its
    # expansion centres move with the magnetisation): there, the Krylov
    # estimate runs ahead of the true residual, and a cycle reduces the true
    # residual only by about the ratio the previous cycle achieved. The first
    # cycle aims at rtol (enough on the direct path), each later one at that
    # ratio.
    previous = None
    while True:
        report.residual(np.linalg.norm(b - apply(x)) / b_norm)
        if report.last <= rtol:
            return np.reshape(chi3 * x, (-1, 3)), last["h"].reshape(-1, 3)
        target = rtol if previous is None else max(rtol, report.last * min(0.5, report.last / previous))
        previous = report.last
        # The cycle's products plus the true residual at its end.
        restart = min(budget - field.count - 1, _MAX_RESTART, max(20, _BASIS_VALUES // n))
        if restart < 1:
            return None
        x, _ = gmres(operator, b, x0=x, rtol=target, atol=0.0, restart=restart, maxiter=1,
                     callback=report.residual, callback_type="pr_norm")


class _Field:
    """Counted H field of a magnetisation of the magnetic elements at given targets."""

    def __init__(self, nodes, sources, settings):
        self.nodes, self.sources, self.settings = nodes, sources, settings
        self.count = 0
        self.report = None

    def __call__(self, m, targets):
        h = _corvane.calculate_fields(self.nodes, self.sources, m, _MAGNETIZATION, _H_FIELD,
                                      targets, **self.settings)
        self.count += 1
        self.report.evaluated(self.count)
        return h


class _Progress:
    """Residual after every field evaluation: a tqdm bar, or lines on standard error.

    An evaluation is reported once the residual it led to is known (GMRES
    calls back after its product), or else with the last residual known.
    """

    def __init__(self, enabled, total):
        self.enabled, self.total = enabled, total
        self.bar = None
        self.pending = 0
        self.last = 1.0

    def __enter__(self):
        if self.enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=self.total, desc="solve_magnetization", unit="evaluation")
        return self

    def __exit__(self, *exc):
        self._flush()
        if self.bar is not None:
            self.bar.close()
        return False

    def evaluated(self, count):
        self._flush()
        self.pending = count

    def residual(self, value):
        self.last = float(value)
        self._flush()

    def _flush(self):
        if not (self.enabled and self.pending):
            return
        if self.bar is not None:
            self.bar.set_postfix_str(f"residual {self.last:.3e}", refresh=False)
            self.bar.update(self.pending - self.bar.n)
        else:
            print(f"solve_magnetization: evaluation {self.pending}, "
                  f"relative residual {self.last:.3e}", file=sys.stderr, flush=True)
        self.pending = 0


def _mesh_arrays(nodes, connectivity, chi, h_ext):
    nodes, connectivity = _validation.mesh(nodes, connectivity)
    n_elements = len(connectivity)

    chi = _validation.real_array("chi", chi)
    if chi.ndim == 0:
        chi = np.full(n_elements, chi)
    elif chi.shape != (n_elements,):
        raise ValueError(f"chi must be a number or an array of one value per element "
                         f"({n_elements},), got shape {chi.shape}")
    if not np.isfinite(chi).all():
        raise ValueError("chi must be finite")
    if (chi < 0.0).any():
        raise ValueError("chi must be >= 0")

    h_ext = _validation.real_array("h_ext", h_ext)
    if h_ext.shape == (3,):
        h_ext = np.tile(h_ext, (n_elements, 1))
    elif h_ext.shape != (n_elements, 3):
        raise ValueError(f"h_ext must have shape ({n_elements}, 3) or (3,), got {h_ext.shape}")
    if not np.isfinite(h_ext).all():
        raise ValueError("h_ext must be finite")
    return nodes, connectivity, chi, h_ext
