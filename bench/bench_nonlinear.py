"""Saturating soft iron: corvane.Model with a B-H curve (Newton iteration, GMRES steps) on
unstructured balls (gmsh) in a uniform field, against the closed form.

The curve has chi = 1000 at low field and saturates at 1.6e6 A/m (2 T):
M(H) = Ms tanh(1000 H / Ms), tabulated at 62 points. A sphere is magnetised
uniformly, H_in = H0 - M/3 with M = M(H_in) (brentq). For H0 = 1e3, 3e5 and
2e6 A/m (linear, knee, saturated) on about 2.7e3 elements, with exact element
integrals and through a FieldOperator (tolerance 1e-4), and the saturated
case on about 1e5 elements through the FieldOperator: field evaluations,
Newton iterations, seconds and the error of the volume-weighted mean M, at
the model's default rtol 1e-6.

    python bench/bench_nonlinear.py [small|large]
"""
import pathlib
import sys
import time

import numpy as np
from scipy.optimize import brentq

import corvane
import corvane.nonlinear_magnetization
from corvane.materials import BHCurve

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_octree import ball_mesh  # noqa: E402
from bench_solver import gmsh_ball  # noqa: E402

MU0 = 4e-7 * np.pi
MS, CHI = 1.6e6, 1000.0
H_TABLE = np.concatenate([[0.0], np.geomspace(10.0, 1e7, 61)])
B_TABLE = MU0 * (H_TABLE + MS * np.tanh(CHI * H_TABLE / MS))
RTOL = 1e-6
# (mesh, tolerance, H0 values): about 2.7e3 elements (gmsh size 0.2), 1e5 from bench_octree's cache.
SMALL = [("small", None, (1e3, 3e5, 2e6)), ("small", 1e-4, (1e3, 3e5, 2e6))]
LARGE = [("large", 1e-4, (2e6,))]


class _Iterations:
    """Counts the Newton iterations of the solves run within it."""

    def __enter__(self):
        self.iterations = 0
        self._iteration = corvane.nonlinear_magnetization.NewtonProgress.iteration

        def iteration(report, k, residual):
            self.iterations = k
            return self._iteration(report, k, residual)

        corvane.nonlinear_magnetization.NewtonProgress.iteration = iteration
        return self

    def __exit__(self, *exc):
        corvane.nonlinear_magnetization.NewtonProgress.iteration = self._iteration
        return False


def sphere(nodes, connectivity, h0, tolerance):
    """(evaluations, iterations, seconds, mean-M error) of one solve."""
    mesh = corvane.Mesh(nodes, connectivity, {"ball": np.arange(len(connectivity))})
    model = corvane.Model(mesh)
    model.add_soft("ball", bh_curve=(H_TABLE, B_TABLE))
    model.applied_field = (0.0, 0.0, h0)
    curve = BHCurve(H_TABLE, B_TABLE)
    exact = curve.magnetization(brentq(lambda h: h + curve.magnetization(h) / 3.0 - h0, 0.0, h0))
    with _Iterations() as counts:
        start = time.perf_counter()
        sol = model.solve(rtol=RTOL, tolerance=tolerance, max_evaluations=1000)
        seconds = time.perf_counter() - start
    mean = mesh.volumes @ sol.M / mesh.volumes.sum()
    return sol.info["evaluations"], counts.iterations, seconds, np.linalg.norm(mean - [0.0, 0.0, exact]) / exact


def main(cpp_build_dir=None, cases=SMALL + LARGE):
    print(f"Saturating sphere (chi {CHI:g}, Ms {MS:g} A/m), Model.solve rtol {RTOL:g}, all threads; "
          "evaluations include the FieldOperator's applications, builds are in the seconds")
    print(f"{'elements':>9} {'field':>22} {'H0 (A/m)':>9} | {'evaluations':>11} {'Newton':>6} {'s':>8} "
          f"{'mean-M error':>12}")
    meshes = {}
    for name, tolerance, fields in cases:
        if name not in meshes:
            meshes[name] = gmsh_ball(0.2) if name == "small" else ball_mesh(100_000)
        nodes, connectivity = meshes[name]
        path = "exact, direct" if tolerance is None else f"FieldOperator {tolerance:g}"
        for h0 in fields:
            evaluations, iterations, seconds, error = sphere(nodes, connectivity, h0, tolerance)
            print(f"{len(connectivity):>9d} {path:>22} {h0:>9.0e} | {evaluations:>11d} {iterations:>6d} "
                  f"{seconds:>8.1f} {error:>12.1e}", flush=True)


if __name__ == "__main__":
    which = sys.argv[1:] or ["small", "large"]
    main(cases=[case for case in SMALL + LARGE if case[0] in which])
