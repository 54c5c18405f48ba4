"""Magnetisation of linear magnetic bodies by a Krylov solve over `_corvane`.

The material law M = χ·H + Mr holds at every element centroid, H being the
applied field plus the demagnetising field of all element magnetisations; χ
is a number or a 3×3 tensor per element. SciPy's GMRES solves that linear
system; every product with the system matrix is one field evaluation: a
direct sum of the accurate element integrals (`exact_fields`), a
`_corvane.calculate_fields` call (octree or point kernels), or one
application of a `corvane.FieldOperator` when a tolerance is given. The counted field
(`CountedField`), the GMRES (`krylov_solve`) and the progress report
(`Progress`) serve the nonlinear solve too (`corvane.nonlinear_magnetization`).
"""
import sys
import threading
import time

import numpy as np
from scipy.linalg import solve_triangular
from scipy.sparse.linalg import LinearOperator, gmres
from threadpoolctl import threadpool_limits

import _corvane
from corvane import _field_operator, _validation
from corvane.operator import TOLERANCE_RANGE, PlacedTargets
from corvane.preconditioner import PotentialPreconditioner

_MAGNETIZATION = 1
_H_FIELD = 1
# GMRES keeps restart + 1 basis vectors of three values per magnetic element:
# it restarts rather than hold more than about this many values (512 MiB), and
# after at most _MAX_RESTART products (its Hessenberg matrix has restart²).
_BASIS_VALUES = 2**26
_MAX_RESTART = 1000
# A preconditioned cycle's end needs no evaluation of the true residual on a
# field linear to rounding (all but the octree's) for rtol from here on: the
# Arnoldi relation gives it, to rounding.
_RECURRENCE_FROM = 1e-10
# Gram-Schmidt orthogonalises again when less than this share of a vector's norm is left.
_REORTHOGONALISE = 2**-0.5
# preconditioner="auto" preconditions where it pays: from χ = 1000 on, or
# from χ = 100 on where χ (its eigenvalues) varies by a factor of 10 or more
# (materials, magnets beside steel, Newton tangents). A ball of one χ = 1000
# took 25 evaluations instead of 53 on 2,694 elements and 19 instead of 36
# on 99,809 (25 s against 27 s, the preconditioner's time included).
_PRECONDITION_FROM = 1e3
_PRECONDITION_CONTRAST_FROM = 100.0
_CONTRAST = 10.0


def solve_magnetization(nodes, connectivity, chi, h_ext, *, remanence=None, rtol=1e-6, max_evaluations=500,
                        tolerance=None, element_integration=True, use_octree=False, theta=0.5,
                        multipole_order=1, max_leaf_size=16, batch_size=1024, n_threads=0, progress=False,
                        preconditioner="auto", return_info=False, client=None):
    """Self-consistent magnetisation of a tetrahedral mesh of linear magnetic material.

    nodes: real (n_nodes, 3), metres. connectivity: integer (n_elements, 4),
    0-based node indices of positively oriented tetrahedra. chi: the
    susceptibility, one number for all elements, one per element
    (n_elements,), finite and >= 0, or a tensor per element (n_elements, 3, 3),
    symmetric with I + χ positive definite (an anisotropic law). h_ext: the applied field (A/m) at the
    element centroids, (n_elements, 3), or one vector (3,) for a uniform field.
    remanence: the remanent magnetisation Mr (A/m), (n_elements, 3) or one
    vector (3,), or None for none: the law is M = χ H + Mr, so that an element
    with χ = 0 and Mr ≠ 0 is a rigid permanent magnet and one with recoil
    susceptibility χ ≠ 0 responds to the field too. Elements with χ = 0 and no
    remanence are not magnetic and stay exactly unmagnetised.

    Solves (I - D χ) H = h_ext + D Mr for the field H at the centroids of the
    elements with χ ≠ 0, D being the demagnetising field of a magnetisation
    there. A field evaluation is one direct sum of the exact element integrals
    (with accurate arctangent and logarithm, exact to rounding), one
    `_corvane.calculate_fields` call through the octree or with point kernels
    (use_octree with theta, multipole_order, max_leaf_size, batch_size), or,
    with tolerance (a relative error from 1e-10 to 1e-2), one application of
    a `corvane.FieldOperator` built once for the solve. rtol bounds the residual relative to the right-hand side (Euclidean
    norms over the elements with χ ≠ 0); max_evaluations bounds the number of
    field evaluations. progress=True reports the residual after every
    evaluation, on a tqdm bar when tqdm is installed, otherwise one line each
    on standard error.

    preconditioner: "potential" preconditions GMRES with the magnetic parts'
    own potential problem (`corvane.preconditioner`), which keeps the number
    of field evaluations from growing with χ and with jumps of χ; "air" adds
    the air around the parts to that problem (fewer evaluations on closed
    circuits and small parts); None solves without; "auto" (the default)
    uses "air" when some χ (an eigenvalue of a tensor) reaches 1000, or 100
    where χ varies by a factor of 10 or more.
    Its applications are not field evaluations and are not counted in
    max_evaluations. return_info=True returns a third item,
    a dict: evaluations, seconds, the relative residual reached (with a
    tolerance, that of the operator's field, not of the exact one), and the
    preconditioner's name, set-up and application seconds and bytes. client: a `dask.distributed.Client`
    (with a tolerance) to build and apply the FieldOperator on its workers
    (`corvane.cluster`); the Krylov vectors stay here.

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
    remanence = _vectors("remanence", remanence, len(connectivity))
    rtol = check_rtol(rtol)
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
    tolerance = check_tolerance(tolerance)
    if tolerance is not None and (settings["use_octree"] or not settings["element_integration"]):
        raise ValueError("tolerance selects a FieldOperator: it cannot be combined with use_octree=True "
                         "or element_integration=False")
    progress = _validation.flag("progress", progress)
    preconditioner = check_preconditioner(preconditioner)
    return_info = _validation.flag("return_info", return_info)
    check_client(client, tolerance)
    started = time.perf_counter()

    unknown = chi.reshape(len(chi), -1).any(axis=1)
    remanent = remanence.any(axis=1)
    M = remanence.copy()
    H = h_ext.copy()
    info = solve_info(None, 0, started)
    if not (remanent.any() or h_ext[unknown].any()):
        return (M, H, info) if return_info else (M, H)
    centroids = _corvane.mesh_centroids(nodes, connectivity)
    # Elements without magnetisation are left out of the sources, and those
    # with χ = 0 out of the unknowns; the rest of the mesh only receives the
    # final field.
    sources = unknown | remanent
    field = CountedField(nodes, np.ascontiguousarray(connectivity[sources]), unknown[sources], centroids[unknown],
                         settings, tolerance, client)
    rest = ~unknown
    reserve = 1 if rest.any() else 0
    potential = None
    with one_blas_thread(), Progress(progress, max_evaluations) as report:
        field.report = report
        if unknown.any() and wants_preconditioner(preconditioner, chi[unknown]):
            def set_up():
                potential = PotentialPreconditioner(nodes, connectivity[unknown], air=preconditioner in ("air", "auto"),
                                                    n_threads=settings["n_threads_requested"])
                potential.set_chi(chi[unknown])
                return potential
            potential = field.build_beside(set_up)
        if unknown.any():
            b = h_ext[unknown]
            if remanent.any():
                b = b + field.at_unknowns(remanence[sources])
            solution = krylov_solve(field, chi[unknown], b, rtol, max_evaluations - reserve, report, potential)
            if solution is None:
                hint = ("; through the octree the residual levels off near the expansions' error: "
                        "raise rtol or lower theta") if settings["use_octree"] else ""
                raise RuntimeError(
                    f"solve_magnetization did not converge within {max_evaluations} field evaluations: "
                    f"relative residual {report.last:.3e}, rtol {rtol:.3e}{hint}")
            h, h_induced = solution
            M[unknown] += times(chi[unknown], h)
            H[unknown] = b + h_induced
        if reserve:
            H[rest] += field.at(M[sources], centroids[rest])
    if return_info:
        return M, H, solve_info(potential, field.count, started, report.last if unknown.any() else 0.0)
    return M, H


def check_client(client, tolerance):
    if client is not None and tolerance is None:
        raise ValueError("client spreads a FieldOperator over a Dask cluster: give a tolerance too")


def check_preconditioner(preconditioner):
    if preconditioner not in ("auto", "potential", "air", None):
        raise ValueError(f"preconditioner must be 'auto', 'potential', 'air' or None, got {preconditioner!r}")
    return preconditioner


def wants_preconditioner(preconditioner, chi):
    """Whether to precondition a solve at χ (m,) or (m, 3, 3) of the unknowns."""
    if preconditioner != "auto":
        return preconditioner in ("potential", "air")
    eigenvalues = chi if chi.ndim == 1 else np.linalg.eigvalsh(chi)
    largest, smallest = eigenvalues.max(), eigenvalues.min()
    contrast = (1.0 + largest) >= _CONTRAST * (1.0 + max(smallest, 0.0))
    return largest >= _PRECONDITION_FROM or (largest >= _PRECONDITION_CONTRAST_FROM and contrast)


def solve_info(potential, evaluations, started, residual=0.0):
    """What a solve reports: its field evaluations, seconds, the relative residual it reached and
    its preconditioner (a `PotentialPreconditioner` or None)."""
    info = {"evaluations": evaluations, "seconds": time.perf_counter() - started, "residual": float(residual),
            "preconditioner": None, "preconditioner_setup_seconds": 0.0, "preconditioner_apply_seconds": 0.0,
            "preconditioner_bytes": 0}
    if potential is not None:
        info.update(preconditioner="air" if potential.info["air_elements"] else "potential",
                    preconditioner_setup_seconds=potential.info["setup_seconds"],
                    preconditioner_apply_seconds=potential.info["apply_seconds"],
                    preconditioner_bytes=potential.info["bytes"])
    return info


def direct_settings(n_threads):
    """`calculate_fields`' keyword arguments for exact element integrals summed directly."""
    return dict(element_integration=True, n_threads_requested=n_threads, use_octree=False, theta=0.5,
                multipole_order=1, max_leaf_size=16, batch_size=1024)


# A residual half the size of the right-hand side is no solution; above this
# the solve would stop at its first iterate (M = 0) and call it converged.
RTOL_LIMIT = 0.5


def check_rtol(rtol):
    """rtol as a float in (0, RTOL_LIMIT)."""
    rtol = _validation.real("rtol", rtol)
    if not rtol > 0.0:
        raise ValueError(f"rtol must be > 0, got {rtol!r}")
    if not rtol < RTOL_LIMIT:
        raise ValueError(f"rtol must be < {RTOL_LIMIT:g}: a larger residual takes M = 0 as the solution; "
                         f"got {rtol!r}")
    return rtol


def exact_fields(nodes, connectivity, vectors, source, field, targets, n_threads):
    """The field of every element at every target by the accurate element integrals, summed directly.

    The arguments as for `_corvane.calculate_fields` (source 1 magnetisation,
    0 current; field 1 H, 0 A). Unlike the module function, whose fast
    arctangent and logarithm leave about 1e-5, the sum is exact to rounding
    (about 1e-13 relative): beyond 50 radii, where the integrals lose digits,
    an element is the points of a quadrature rule, within about 3e-12 of its field.
    """
    return _field_operator.direct(nodes, connectivity, vectors, source, field, np.ascontiguousarray(targets),
                                  n_threads)


def check_tolerance(tolerance):
    """None, or the FieldOperator's relative error as a float within its range."""
    if tolerance is None:
        return None
    tolerance = _validation.real("tolerance", tolerance)
    low, high = TOLERANCE_RANGE
    if not low <= tolerance <= high:
        raise ValueError(f"tolerance must be None or from {low:g} to {high:g}, got {tolerance!r}")
    return tolerance


def one_blas_thread():
    """BLAS on one thread for the solve's vector work (GMRES, the preconditioner).

    Its vectors are too short to gain from threads, and OpenBLAS's threads
    spin after every call, taking the cores from the field evaluations'
    own workers: on two busy cores, the 7,296-element frame's solve took
    twice as long with them.
    """
    return threadpool_limits(limits=1, user_api="blas")


def alongside(background, foreground):
    """background() on a thread of its own while foreground() runs here; background's result.

    An exception from either is raised here. After one from foreground
    (Ctrl-C in a build), background is left to finish on its own.
    """
    outcome = {}

    def run():
        try:
            outcome["value"] = background()
        except BaseException as error:  # noqa: B036 - handed to the caller's thread
            outcome["error"] = error

    thread = threading.Thread(target=run, name="corvane set-up", daemon=True)
    thread.start()
    foreground()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def times(chi, vectors):
    """χ v per element: χ (n,) numbers or (n, 3, 3) tensors, vectors (n, 3)."""
    if chi.ndim == 1:
        return chi[:, None] * vectors
    return np.einsum("nij,nj->ni", chi, vectors)


def krylov_solve(field, chi, b, rtol, budget, report, preconditioner=None, verified=True):
    """GMRES for x in (I - D χ) x = b at the unknowns of `field` (a `CountedField`).

    chi: (m,) or (m, 3, 3); b: (m, 3). preconditioner: None, or a callable
    P⁻¹ on (m, 3) arrays (a `PotentialPreconditioner` set to this χ),
    applied on the right so that GMRES minimises the true residual. Returns
    (x, D χ x), both (m, 3), once the relative residual is within rtol, or
    None when it (the last one passed to `report`) is still above rtol
    after `budget` field evaluations of `field` in all. With verified=False
    a cycle whose own estimate meets rtol ends the solve without the
    evaluation of the true residual, and D χ x is None: for a Newton step,
    whose outcome the nonlinear residual judges anyway.
    """
    b = b.ravel()
    b_norm = np.linalg.norm(b)
    last = {"x": np.zeros_like(b), "h": np.zeros_like(b)}
    if b_norm == 0.0:
        report.last = 0.0   # x = 0 solves it exactly
        return np.zeros((b.size // 3, 3)), np.zeros((b.size // 3, 3))

    def apply(x):
        # (I - D χ) x. D χ x of the last x is kept: SciPy's GMRES ends every
        # cycle on b - A x and starts the next one from the same x.
        if not np.array_equal(x, last["x"]):
            last["x"], last["h"] = x.copy(), field.induced(times(chi, np.reshape(x, (-1, 3)))).ravel()
        return x - last["h"]

    n = b.size
    operator = LinearOperator((n, n), matvec=apply, dtype=np.float64)
    x = last["x"]
    # One GMRES cycle per call, restarted here rather than inside SciPy, so
    # that every cycle ends on the true residual (evaluated, or on a linear
    # field from the preconditioned cycle's Arnoldi relation) and starts
    # afresh from it.
    # The octree's field is linear only up to its approximation error (its
    # expansion centres move with the magnetisation): there, the Krylov
    # estimate runs ahead of the true residual, and a cycle reduces the true
    # residual only by about the ratio the previous cycle achieved. The first
    # cycle aims at rtol (enough on the direct path), each later one at that
    # ratio. With a preconditioner a cycle is flexible GMRES on the
    # correction: P⁻¹ solves its potential problem only as far as it must,
    # so it is not exactly linear, and the cycle keeps the preconditioned
    # vectors themselves rather than applying P⁻¹ to their combination.
    previous = None
    while True:
        residual = b - apply(x)
        report.residual(np.linalg.norm(residual) / b_norm)
        if report.last <= rtol:
            return np.reshape(x, (-1, 3)), last["h"].reshape(-1, 3)
        target = rtol if previous is None else max(rtol, report.last * min(0.5, report.last / previous))
        previous = report.last
        # The cycle's products plus the true residual at its end, unless the
        # recurrence gives it. (The flexible cycle keeps the preconditioned
        # vectors too.)
        recurrence = preconditioner is not None and field.linear and rtol >= _RECURRENCE_FROM
        restart = min(budget - field.count - (0 if recurrence else 1), _MAX_RESTART,
                      max(20, _BASIS_VALUES // (n if preconditioner is None else 2 * n)))
        if restart < 1:
            return None
        if preconditioner is None:
            x, _ = gmres(operator, b, x0=x, rtol=target, atol=0.0, restart=restart, maxiter=1,
                         callback=report.residual, callback_type="pr_norm")
            if not verified and report.last <= rtol:
                return np.reshape(x, (-1, 3)), None
            continue
        scale = report.last
        d, applied = flexible_gmres(apply, lambda v: preconditioner(np.reshape(v, (-1, 3))).ravel(), residual,
                                    target / scale, restart, lambda value: report.residual(value * scale))
        x = x + d
        if not verified and report.last <= rtol:
            return np.reshape(x, (-1, 3)), None
        if recurrence:
            # A field linear to rounding: A x is known without evaluating it,
            # A (x + d) = A x + A d, A d from the cycle's own recurrence.
            last["x"], last["h"] = x.copy(), x - (b - residual + applied)


def flexible_gmres(apply, precondition, r, rtol, restart, callback):
    """One cycle of flexible GMRES (right-preconditioned, the preconditioner
    free to change between products) for A d = r from d = 0.

    apply(z) = A z, precondition(v) ≈ P⁻¹ v; stops after `restart`
    products or once the relative residual estimate is within rtol, reported
    to callback after each product. Returns d, a combination of the
    preconditioned vectors that minimises |r - A d| among them, and A d
    from the Arnoldi relation (A Z = V H), without another product.
    """
    beta = np.linalg.norm(r)
    basis = np.empty((restart + 1, r.size))
    preconditioned = np.empty((restart, r.size))
    hessenberg = np.zeros((restart + 1, restart))
    arnoldi = np.zeros((restart + 1, restart))
    rotations = np.zeros((restart, 2))
    g = np.zeros(restart + 1)
    basis[0], g[0] = r / beta, beta
    k = 0
    while k < restart:
        preconditioned[k] = precondition(basis[k])
        w = apply(preconditioned[k])
        # Classical Gram-Schmidt in matrix products, a second pass only
        # where the first cancelled most of w (less than 1/√2 of its norm
        # left), the only case in which it leaves more than rounding.
        before = np.linalg.norm(w)
        column = basis[:k + 1] @ w
        w = w - column @ basis[:k + 1]
        norm = np.linalg.norm(w)
        if norm < _REORTHOGONALISE * before:
            again = basis[:k + 1] @ w
            w -= again @ basis[:k + 1]
            column += again
            norm = np.linalg.norm(w)
        arnoldi[:k + 1, k], arnoldi[k + 1, k] = column, norm
        basis[k + 1] = w / norm if norm > 0.0 else 0.0
        for i in range(k):
            c, s = rotations[i]
            column[i], column[i + 1] = c * column[i] + s * column[i + 1], -s * column[i] + c * column[i + 1]
        radius = np.hypot(column[k], norm)
        c, s = (column[k] / radius, norm / radius) if radius > 0.0 else (1.0, 0.0)
        rotations[k] = c, s
        column[k] = radius
        hessenberg[:k + 1, k] = column
        g[k], g[k + 1] = c * g[k], -s * g[k]
        k += 1
        callback(abs(g[k]) / beta)
        if abs(g[k]) <= rtol * beta or norm == 0.0:
            break
    y = solve_triangular(hessenberg[:k, :k], g[:k])
    return y @ preconditioned[:k], (arnoldi[:k + 1, :k] @ y) @ basis[:k + 1]


class CountedField:
    """Counted H field of a magnetisation of the source elements.

    `unknown` marks the sources whose magnetisation is solved for;
    `at_unknowns` evaluates at their centroids (through one FieldOperator
    when a tolerance is given), `induced` does so for a magnetisation of
    those sources alone, and `at` evaluates once at other targets.
    """

    def __init__(self, nodes, sources, unknown, targets, settings, tolerance, client=None):
        self.nodes, self.sources, self.unknown, self.targets = nodes, sources, unknown, targets
        self.settings, self.tolerance, self.client = settings, tolerance, client
        self.operator = None
        self.count = 0
        self.report = None

    def build_beside(self, work):
        """Builds the operator while work() runs on another thread; work's result.

        The build leaves the interpreter free on its own threads, so that
        NumPy and SciPy work (the preconditioner's set-up) overlaps its
        serial parts. Without an operator to build, work() runs here.
        """
        if not self.builds_operator:
            return work()
        return alongside(work, lambda: self.at_unknowns_operator())

    @property
    def builds_operator(self):
        """Whether an operator of this process is still to be built for the unknowns."""
        return self.tolerance is not None and self.operator is None and self.client is None

    def at_unknowns_operator(self):
        if self.operator is None:
            self.operator = self._operator(self.targets)
        return self.operator

    @property
    def linear(self):
        """Whether the field is linear in the magnetisation to rounding: all but the octree's."""
        return self.tolerance is not None or not self.settings["use_octree"]

    def induced(self, m):
        vectors = np.zeros((len(self.sources), 3))
        vectors[self.unknown] = m
        return self.at_unknowns(vectors)

    def at_unknowns(self, vectors):
        if self.tolerance is None:
            return self.at(vectors, self.targets)
        return self._counted(self.at_unknowns_operator()(vectors))

    def at(self, vectors, targets):
        if self.tolerance is not None:
            return self._counted(self._operator(targets)(vectors))
        if self.settings["element_integration"] and not self.settings["use_octree"]:
            return self._counted(exact_fields(self.nodes, self.sources, vectors, _MAGNETIZATION, _H_FIELD, targets,
                                              self.settings["n_threads_requested"]))
        return self._counted(_corvane.calculate_fields(self.nodes, self.sources, vectors, _MAGNETIZATION,
                                                       _H_FIELD, targets, **self.settings))

    def _operator(self, targets):
        # Centroids: off every element's boundary.
        return PlacedTargets(self.nodes, self.sources, targets, source="magnetization", field="H",
                             tolerance=self.tolerance, n_threads=self.settings["n_threads_requested"],
                             client=self.client)

    def _counted(self, h):
        self.count += 1
        self.report.evaluated(self.count)
        return h


class Progress:
    """Residual after every field evaluation: a tqdm bar, or lines on standard error.

    An evaluation is reported once the residual it led to is known (GMRES
    calls back after its product), or else with the last residual known.
    """

    name = "solve_magnetization"

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
                self.bar = tqdm(total=self.total, desc=self.name, unit="evaluation")
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
            self.bar.set_postfix_str(self.status(), refresh=False)
            self.bar.update(self.pending - self.bar.n)
        else:
            self.line(self.pending)
        self.pending = 0

    def status(self):
        return f"residual {self.last:.3e}"

    def line(self, count):
        print(f"{self.name}: evaluation {count}, relative residual {self.last:.3e}", file=sys.stderr, flush=True)


def _mesh_arrays(nodes, connectivity, chi, h_ext):
    nodes, connectivity = _validation.mesh(nodes, connectivity)
    n_elements = len(connectivity)

    chi = _validation.real_array("chi", chi)
    if chi.ndim == 0:
        chi = np.full(n_elements, chi)
    elif chi.shape not in ((n_elements,), (n_elements, 3, 3)):
        raise ValueError(f"chi must be a number or an array of one value per element ({n_elements},), "
                         f"got shape {chi.shape}; or one 3×3 tensor per element ({n_elements}, 3, 3)")
    if not np.isfinite(chi).all():
        raise ValueError("chi must be finite")
    if chi.ndim == 1 and (chi < 0.0).any():
        raise ValueError("chi must be >= 0")
    if chi.ndim == 3:
        asymmetric = np.abs(chi - chi.transpose(0, 2, 1)).max(axis=(1, 2)) > 1e-12 * np.abs(chi).max(axis=(1, 2))
        if asymmetric.any():
            raise ValueError(f"chi tensors must be symmetric; element {np.flatnonzero(asymmetric)[0]} is not")
        weak = np.linalg.eigvalsh(chi)[:, 0] <= -1.0
        if weak.any():
            raise ValueError(f"chi tensors must have eigenvalues > -1 (a positive definite permeability); "
                             f"element {np.flatnonzero(weak)[0]} has not")

    return nodes, connectivity, chi, _vectors("h_ext", h_ext, n_elements)


def _vectors(name, value, n_elements):
    """Finite (n_elements, 3) float64 from one vector (3,) or one per element; None is zero."""
    if value is None:
        return np.zeros((n_elements, 3))
    value = _validation.real_array(name, value)
    if value.shape == (3,):
        value = np.tile(value, (n_elements, 1))
    elif value.shape != (n_elements, 3):
        raise ValueError(f"{name} must have shape ({n_elements}, 3) or (3,), got {value.shape}")
    if not np.isfinite(value).all():
        raise ValueError(f"{name} must be finite")
    return value
