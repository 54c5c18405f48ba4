"""corvane.solve_magnetization (GMRES) beside magnetization_solve (relaxed
iteration) on unstructured balls (gmsh) in a uniform field, through the octree
(theta 0.5, multipole order 2, exact near field, all threads).

For chi in 1, 10, 100, 1000 on about 1e4 and about 1e5 elements: field
evaluations, seconds, and the error of the volume-weighted mean M against the
ball's 3chi/(3+chi) H0, both solves in the same run. The relaxed iteration
uses w = 2/(2+chi), which keeps every mode contracting (demagnetising factors
in [0, 1]) and stops at a largest change of RTOL |M|; GMRES stops at a
residual of RTOL |H0|. The relaxed iteration is capped (its count grows about
linearly with chi): a capped count is shown as >cap. GMRES is capped at
GMRES_CAP evaluations in the same way.
"""
import pathlib
import sys
import time

import numpy as np

import _corvane
import corvane

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_solver import gmsh_ball, with_stdout_captured  # noqa: E402

H0 = np.array([300.0, -400.0, 1200.0])  # A/m
RTOL = 1e-4  # through the octree at theta 0.5 the residual levels off near 3e-5 (chi = 100)
OCTREE = dict(theta=0.5, multipole_order=2, max_leaf_size=16, batch_size=256)
# (gmsh mesh size, cap of the relaxed iteration): about 1e4 and 1e5 elements.
MESHES = [(0.13, 300), (0.06, 40)]
CHIS = (1.0, 10.0, 100.0, 1000.0)
GMRES_CAP = 200


def mean_error(mesh, m, chi):
    nodes, conn = mesh
    volumes = _corvane.mesh_volumes(nodes, conn)
    analytic = 3.0 * chi / (3.0 + chi) * H0
    return np.linalg.norm(volumes @ m / volumes.sum() - analytic) / np.linalg.norm(analytic)


def relaxed(mesh, chi, cap):
    """magnetization_solve: (iterations, converged, seconds, mean-M error)."""
    nodes, conn = mesh
    n = conn.shape[0]
    atol = RTOL * 3.0 * chi / (3.0 + chi) * np.linalg.norm(H0)
    centroids = _corvane.mesh_centroids(nodes, conn)
    t0 = time.perf_counter()
    (m, _), text = with_stdout_captured(lambda: _corvane.magnetization_solve(
        nodes, conn, centroids, chi, np.tile(H0, (n, 1)), True, 0, atol, cap, 2.0 / (2.0 + chi), True,
        OCTREE["theta"], OCTREE["multipole_order"], OCTREE["max_leaf_size"], OCTREE["batch_size"], True))
    seconds = time.perf_counter() - t0
    lines = text.splitlines()
    converged = float(lines[-1].rsplit(" ", 1)[1]) <= atol
    return len(lines), converged, seconds, mean_error(mesh, m, chi)


def krylov(mesh, chi):
    """solve_magnetization: (evaluations, converged, seconds, mean-M error)."""
    nodes, conn = mesh
    inner = _corvane.calculate_fields
    calls = []

    def counted(*args, **kwargs):
        calls.append(1)
        return inner(*args, **kwargs)

    _corvane.calculate_fields = counted
    t0 = time.perf_counter()
    try:
        m, _ = corvane.solve_magnetization(nodes, conn, chi, H0, rtol=RTOL, max_evaluations=GMRES_CAP,
                                           use_octree=True, **OCTREE)
        error, converged = mean_error(mesh, m, chi), True
    except RuntimeError:
        error, converged = float("nan"), False
    finally:
        _corvane.calculate_fields = inner
    return len(calls), converged, time.perf_counter() - t0, error


def main(cpp_build_dir=None, meshes=MESHES, chis=CHIS):
    print(f"solve_magnetization (GMRES) against magnetization_solve (w = 2/(2+chi)), octree {OCTREE}, "
          f"tolerance {RTOL:g}")
    print(f"{'elements':>9}{'chi':>6} | {'relaxed: evals':>14}{'s':>8}{'M error':>10} | "
          f"{'GMRES: evals':>12}{'s':>8}{'M error':>10} | {'time ratio':>10}")
    for size, cap in meshes:
        mesh = gmsh_ball(size)
        for chi in chis:
            k1, ok1, s1, e1 = relaxed(mesh, chi, cap)
            k2, ok2, s2, e2 = krylov(mesh, chi)
            count1 = str(k1) if ok1 else f">{k1}"
            count2 = str(k2) if ok2 else f">{k2}"
            error2 = f"{e2:.1e}" if ok2 else "-"  # a stopped solve returns no M
            ratio = "-" if not ok2 else f"{s1 / s2:.1f}x" if ok1 else f">{s1 / s2:.1f}x"
            print(f"{mesh[1].shape[0]:>9d}{chi:>6g} | {count1:>14}{s1:>8.1f}{e1:>10.1e} | "
                  f"{count2:>12}{s2:>8.1f}{error2:>10} | {ratio:>10}", flush=True)


if __name__ == "__main__":
    main()
