"""Magnetisation of bodies with nonlinear material laws: an inexact Newton iteration on the
element fields, its linear steps solved by the Krylov machinery of `corvane.magnetization`.

The unknown is the field H at the centroids of the elements whose
magnetisation responds to the field, and the residual is
F(H) = H - h_ext - D M(H), D being the field of a magnetisation (rigid
magnets included). A Newton step solves (I - D K) δ = -F with K = dM/dH, a
3×3 tangent per element, by GMRES through the same counted field as the
linear solve, preconditioned as it is, and only as far as the outer
residual warrants (Eisenstat-Walker forcing terms η). The iteration starts
at H = 0, where the tangents are the initial susceptibilities, so that its
first step is the linear solve. A
backtracking line search on |F| keeps steps that overshoot (elements pushed
past the knee of their curve) from raising the residual.
"""
import sys
import time

import numpy as np

import _corvane
from corvane.magnetization import (CountedField, Progress, direct_settings, krylov_solve, one_blas_thread,
                                   solve_info, wants_preconditioner)
from corvane.preconditioner import PotentialPreconditioner

# Forcing terms: the first step's relative GMRES residual, the largest one,
# and γ of η_k = γ (|F_k| / |F_k-1|)² (Eisenstat-Walker). The first step,
# from H = 0, is the linear solve at the initial susceptibilities, and it
# must be accurate: at χ ~ 1000 a residual small in units of the applied
# field still leaves errors of tens of per cent in the field of elements near
# the surface (modes that carry little charge), where M(H) bends. From such
# a state Newton steps overshoot. After an accurate first step the error is
# smooth and later steps may be loose. On a 2,694-element ball (χ 1000
# saturating at 1.6e6 A/m) the first step at 1e-5 took 46, 74 and 70
# evaluations to rtol 1e-6 in the linear, knee and saturated cases, and 60,
# 87 and 64 at 1e-4; at 1e-3 the knee case stalled.
_ETA_FIRST = 1e-5
_ETA_MAX = 0.5
_GAMMA = 0.9
# Sufficient decrease |F(H + α δ)| <= (1 - _ARMIJO α (1 - η)) |F(H)|; the
# smallest step tried.
_ARMIJO = 1e-4
_SMALLEST_STEP = 1e-4
# Every step is preconditioned (when χ calls for it), and a preconditioned
# step is solved to at least this relative residual unless the outer rtol
# asks for less. Loose, a preconditioned step can be long where the tangent's
# contrast makes it cheap in residual (a magnet's low χ beside steel's
# thousands), and Newton then crawls: on the steel frame with its 18-point
# curve, preconditioned steps at the Eisenstat-Walker η took 630 evaluations.
# Capped at 1e-3, 3e-4 and 1e-4 they took 63, 59 and 62, against 84 with
# plain GMRES far from the solution; with the air, eight products reach 1e-3
# at every Newton step there, plain GMRES needs 25. The applications cost
# time: on the 85,000-element C-yoke, 79 evaluations instead of 99 but
# 149 s instead of 130 (77 s since, with cheaper applications and
# field evaluations).
_PRECONDITIONED_ETA = 3e-4
# A Newton step changes no element's field by more than this many times the
# larger of its own and the fields' RMS.
_GROWTH = 1.0


def solve_nonlinear_magnetization(nodes, connectivity, law, responsive, h_ext, remanence, *, rtol, max_evaluations,
                                  tolerance, n_threads, progress, preconditioner="auto", return_info=False,
                                  client=None):
    """Self-consistent magnetisation of a mesh whose materials' laws may be nonlinear.

    Called by `corvane.Model.solve` with checked arguments. law(h) maps the
    fields h (m, 3) at the m responsive elements (the mask `responsive`
    (n_elements,)) to their magnetisation M (m, 3) and its tangent dM/dH
    (m, 3, 3). remanence (n_elements, 3): the fixed magnetisation of the
    other elements (rigid magnets), zero elsewhere. h_ext (n_elements, 3):
    the applied field at the centroids. tolerance: None for exact element
    integrals, or the relative error of a `corvane.FieldOperator`.

    rtol bounds |F| relative to |F(0)| = |h_ext + D M(0)| (Euclidean norms
    over the responsive elements); max_evaluations bounds the field
    evaluations in all (GMRES products, residuals, the final field at the
    other elements). Returns (M, H), (n_elements, 3): H is the field of that
    M (h_ext included). Raises RuntimeError with the residual reached when
    the iteration does not get there. preconditioner ("auto", "potential",
    "air" or None) and return_info as for `corvane.solve_magnetization`;
    one preconditioner serves every Newton step, set to its tangents.
    """
    started = time.perf_counter()
    M, H = remanence.copy(), h_ext.copy()
    sources = responsive | remanence.any(axis=1)
    if not sources.any():
        return (M, H, solve_info(None, 0, started)) if return_info else (M, H)
    centroids = _corvane.mesh_centroids(nodes, connectivity)
    field = CountedField(nodes, np.ascontiguousarray(connectivity[sources]), responsive[sources],
                         centroids[responsive], direct_settings(n_threads), tolerance, client)
    rest = ~responsive
    reserve = 1 if rest.any() else 0
    steps = _Preconditioning(preconditioner, nodes, connectivity[responsive], n_threads)
    with one_blas_thread(), NewtonProgress(progress, max_evaluations) as report:
        field.report = report
        if responsive.any():
            if preconditioner is not None and field.builds_operator:
                # The preconditioner's geometry beside the operator's build,
                # in case a Newton step wants it.
                steps.built = field.build_beside(steps.build)
            vectors, h_applied = M[sources], h_ext[responsive]

            def state(h):
                """(h, M(h), dM/dH, F(h)): one field evaluation, none when nothing is magnetised."""
                m, tangent = law(h)
                vectors[field.unknown] = m
                induced = field.at_unknowns(vectors) if vectors.any() else np.zeros_like(h)
                return _State(h, m, tangent, h - h_applied - induced)

            final = _newton(state, field, report, rtol, max_evaluations - reserve, steps)
            M[responsive] = final.m
            H[responsive] = final.h - final.residual
        if reserve:
            M_sources = M[sources]
            H[rest] += field.at(M_sources, centroids[rest]) if M_sources.any() else 0.0
    if return_info:
        info = solve_info(steps.potential, field.count, started, report.outer if responsive.any() else 0.0)
        info["newton_iterations"] = report.iterations
        return M, H, info
    return M, H


class _Preconditioning:
    """The preconditioner of the Newton steps, built at the first step that wants it."""

    def __init__(self, choice, nodes, connectivity, n_threads):
        self.choice, self.nodes, self.connectivity, self.n_threads = choice, nodes, connectivity, n_threads
        self.built = None       # built ahead of the first step that wants it
        self.potential = None   # the one the steps used

    def build(self):
        return PotentialPreconditioner(self.nodes, self.connectivity, air=self.choice in ("air", "auto"),
                                       n_threads=self.n_threads)

    def at(self, tangent):
        """The preconditioner set to these tangents, or None for a step without."""
        if not wants_preconditioner(self.choice, tangent):
            return None
        if self.potential is None:
            self.potential = self.built if self.built is not None else self.build()
            self.built = None
        self.potential.set_chi(tangent)
        return self.potential


class _State:
    """An iterate h with M(h), dM/dH, F(h) and |F|."""

    def __init__(self, h, m, tangent, residual):
        self.h, self.m, self.tangent, self.residual = h, m, tangent, residual
        self.norm = np.linalg.norm(residual)


def _newton(state_at, field, report, rtol, budget, steps):
    """Newton iterates from H = 0 until |F| <= rtol |F(0)|; returns the last state."""
    state = state_at(np.zeros((len(field.targets), 3)))
    scale = state.norm
    if scale == 0.0:
        report.outer = 0.0   # H = 0 solves it exactly
        return state
    eta = _ETA_FIRST
    iteration = 0
    report.iteration(iteration, 1.0)
    while state.norm > rtol * scale:
        # No need to solve a step more accurately than the residual asked for.
        enough = 0.5 * rtol * scale / state.norm
        eta = min(_ETA_MAX, max(eta, enough))
        preconditioner = steps.at(state.tangent)
        accuracy = eta if preconditioner is None else max(min(eta, _PRECONDITIONED_ETA), enough)
        step = krylov_solve(field, state.tangent, -state.residual, accuracy, budget - 1, report, preconditioner,
                            verified=iteration == 0)
        if step is None or field.count + 1 > budget:
            _fail(report, rtol, "")
        delta = _limited(step[0], state.h)
        limited = not np.array_equal(delta, step[0])
        alpha = 1.0
        trial = state_at(state.h + delta)
        accepted = trial.norm <= (1.0 - _ARMIJO * (1.0 - accuracy)) * state.norm
        while not accepted:
            # Minimiser of the parabola through |F|² at 0 and α with slope
            # -2|F|² at 0, within [α/10, α/2].
            parabola = state.norm**2 * alpha**2 / (trial.norm**2 - state.norm**2 + 2.0 * alpha * state.norm**2)
            alpha = min(max(parabola, 0.1 * alpha), 0.5 * alpha)
            if alpha < _SMALLEST_STEP and limited:
                # The limited step need not lower |F|, the Newton step does: a
                # 25-element steel ball in 3 kA/m stopped here at 0.77.
                delta, alpha, limited = step[0], 1.0, False
            elif alpha < _SMALLEST_STEP:
                _fail(report, rtol, "; the line search found no step that lowers it")
            if field.count + 1 > budget:
                _fail(report, rtol, "")
            trial = state_at(state.h + alpha * delta)
            accepted = trial.norm <= (1.0 - _ARMIJO * alpha * (1.0 - accuracy)) * state.norm
        ratio = trial.norm / state.norm
        state = trial
        iteration += 1
        report.iteration(iteration, state.norm / scale)
        # Eisenstat-Walker: tighter steps as the iteration converges faster,
        # unless the last forcing term was already small.
        eta = _GAMMA * ratio**2 if _GAMMA * eta**2 <= 0.1 else max(_GAMMA * ratio**2, _GAMMA * eta**2)
    return state


def _limited(delta, h):
    """The step delta with each element's change at most _GROWTH times the larger of its field and
    the fields' RMS.

    Where a curve saturates its tangent is small, and a Newton step asks
    such an element for a field hundreds of times its own (a ball of soft
    iron, initial χ 16,000, at 5e5 A/m: single elements to 2e6 A/m where the
    median was 700); the line search then damped every step to a crawl
    (36 iterations, 564 evaluations). Near the solution no step is limited.
    """
    size = np.linalg.norm(h, axis=1)
    scale = np.sqrt(np.mean(size**2))
    if scale == 0.0:
        return delta
    limit = _GROWTH * np.maximum(size, scale)
    change = np.linalg.norm(delta, axis=1)
    shrink = np.minimum(1.0, limit / np.maximum(change, np.finfo(float).tiny))
    return delta * shrink[:, None]


def _fail(report, rtol, reason):
    raise RuntimeError(f"the nonlinear solve did not converge within {report.total} field evaluations: "
                       f"relative residual {report.outer:.3e} after {report.iterations} Newton iterations, "
                       f"rtol {rtol:.3e}{reason}")


class NewtonProgress(Progress):
    """The outer iterations and the field evaluations: a tqdm bar, or one line per iteration on standard error."""

    name = "nonlinear solve"

    def __init__(self, enabled, total):
        super().__init__(enabled, total)
        self.iterations, self.outer, self.count = 0, 1.0, 0

    def evaluated(self, count):
        self.count = count
        super().evaluated(count)

    def iteration(self, k, residual):
        self.iterations, self.outer = k, float(residual)
        if self.enabled and self.bar is None:
            print(f"{self.name}: iteration {k}, {self.count} evaluations, relative residual {residual:.3e}",
                  file=sys.stderr, flush=True)

    def status(self):
        return f"iteration {self.iterations}, residual {self.outer:.3e} (step {self.last:.1e})"

    def line(self, count):
        pass
