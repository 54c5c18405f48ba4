"""magnetization_solve of an unstructured ball (gmsh) in a uniform field.

1. One iteration through the octree (theta = 0.5, exact near field) on about
   1e5 elements, phase by phase, from the C++ program solver_bench.
2. Full solves of that ball through the octree for chi = 1 and 10 to a
   relative tolerance of 1e-4: iterations, seconds per iteration, error of
   the volume-weighted mean M against 3chi/(3+chi) H0.
3. The direct path beside the octree on a ball where it is still feasible.
4. Iterations against chi (1, 10, 100) on a 900-element ball, both paths,
   beside the contraction model of the relaxed iteration.
The relaxation is w = 2/(2+chi): with demagnetising factors n in [0, 1] the
error of a mode shrinks by |1 - w(1 + chi n)| per iteration, and this w
balances the two ends at chi/(2+chi), the least worst factor.
"""
import math
import os
import subprocess
import tempfile
import time

import numpy as np

import _corvane

H0 = np.array([300.0, -400.0, 1200.0])  # A/m
RTOL = 1e-4
# Solves of the large ball stop here: through the octree the change can level
# off at the expansions' error instead of reaching RTOL.
BIG_CAP = 80


def gmsh_ball(size, radius=1.0):
    import gmsh

    gmsh.initialize(readConfigFiles=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.option.setNumber("General.NumThreads", 1)
        gmsh.model.occ.addSphere(0.0, 0.0, 0.0, radius)
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMin", size)
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(3)
        tags, coords, _ = gmsh.model.mesh.getNodes()
        types, _, element_nodes = gmsh.model.mesh.getElements(3)
        tets = element_nodes[list(types).index(4)].reshape(-1, 4).astype(np.int64)
    finally:
        gmsh.finalize()
    index = np.zeros(int(tags.max()) + 1, dtype=np.int64)
    index[tags.astype(np.int64)] = np.arange(tags.size)
    nodes = np.ascontiguousarray(coords.reshape(-1, 3))
    conn = index[tets]
    p = nodes[conn]
    flip = np.einsum("ij,ij->i", p[:, 1] - p[:, 0], np.cross(p[:, 2] - p[:, 0], p[:, 3] - p[:, 0])) < 0
    conn[flip, 1], conn[flip, 2] = conn[flip, 2].copy(), conn[flip, 1].copy()
    return nodes, np.ascontiguousarray(conn, dtype=np.uint32)


def with_stdout_captured(fn):
    """Runs fn with file descriptor 1 sent to a temporary file; returns (result, text)."""
    with tempfile.TemporaryFile() as capture:
        saved = os.dup(1)
        os.dup2(capture.fileno(), 1)
        try:
            result = fn()
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        capture.seek(0)
        return result, capture.read().decode()


def solve(mesh, chi, use_octree, max_iterations):
    """A solve to RTOL: (iterations, seconds, relative error of the mean M,
    last change relative to the analytic |M|, converged)."""
    nodes, conn = mesh
    n = conn.shape[0]
    centroids = _corvane.mesh_centroids(nodes, conn)
    volumes = _corvane.mesh_volumes(nodes, conn)
    analytic = 3.0 * chi / (3.0 + chi) * H0
    atol = RTOL * np.linalg.norm(analytic)
    t0 = time.perf_counter()
    (m, _h), text = with_stdout_captured(lambda: _corvane.magnetization_solve(
        nodes, conn, centroids, chi, np.tile(H0, (n, 1)), True, 0, atol, max_iterations, 2.0 / (2.0 + chi), use_octree,
        0.5, 2, 16, 256, True))
    seconds = time.perf_counter() - t0
    error = np.linalg.norm(volumes @ m / volumes.sum() - analytic) / np.linalg.norm(analytic)
    lines = text.splitlines()
    last = float(lines[-1].rsplit(" ", 1)[1])
    return len(lines), seconds, error, last / np.linalg.norm(analytic), last <= atol


def model_iterations(chi):
    return math.ceil(math.log(RTOL) / math.log(chi / (2.0 + chi)))


def phases(cpp_build_dir, mesh, chi=1.0, iterations=2):
    nodes, conn = mesh
    with tempfile.TemporaryDirectory() as tmp:
        nodes.tofile(os.path.join(tmp, "nodes"))
        conn.tofile(os.path.join(tmp, "conn"))
        out = subprocess.run([str(cpp_build_dir / "solver_bench"), os.path.join(tmp, "nodes"),
                              os.path.join(tmp, "conn"), str(chi), str(iterations)],
                             check=True, capture_output=True, text=True).stdout
    times = {}
    for line in out.splitlines():
        name, value = line.split()
        times.setdefault(name, []).append(float(value))
    return {name: min(values) for name, values in times.items()}


def main(cpp_build_dir):
    big = gmsh_ball(0.0588)
    n_big = big[1].shape[0]
    t = phases(cpp_build_dir, big)
    per_iteration = t["aggregate"] + t["evaluate"] + t["update"]
    print(f"magnetization_solve through the octree (theta 0.5, exact near field, all threads), ball of {n_big} elements")
    print(f"{'phase':<28}{'seconds':>10}{'share':>9}")
    print(f"{'tree build (once per solve)':<28}{t['build']:>10.3f}")
    for name in ("aggregate", "evaluate", "update"):
        print(f"{name:<28}{t[name]:>10.3f}{t[name] / per_iteration:>8.1%}")
    print(f"{'one iteration':<28}{per_iteration:>10.3f}")
    print()

    print(f"Solves to a relative change of {RTOL:g}, w = 2/(2+chi), H0 = {H0.tolist()} A/m "
          f"(at most {BIG_CAP} iterations on the large ball)")
    print(f"{'path':<8}{'elements':>10}{'chi':>6}{'iterations':>12}{'s/iteration':>13}{'total s':>10}"
          f"{'mean-M error':>14}{'last change':>13}")
    medium = gmsh_ball(0.15)
    rows = [("octree", big, chi, BIG_CAP) for chi in (1.0, 10.0)]
    rows += [(path, medium, 1.0, 1000) for path in ("direct", "octree")]
    per = {}
    for path, mesh, chi, cap in rows:
        k, seconds, error, last, converged = solve(mesh, chi, path == "octree", cap)
        per[(path, mesh[1].shape[0])] = seconds / k
        print(f"{path:<8}{mesh[1].shape[0]:>10d}{chi:>6g}{k if converged else f'>{k}':>12}{seconds / k:>13.3f}"
              f"{seconds:>10.1f}{error:>14.2e}{last:>13.2e}")
    n_medium = medium[1].shape[0]
    print(f"direct / octree time per iteration at {n_medium} elements: "
          f"{per[('direct', n_medium)] / per[('octree', n_medium)]:.1f}x")
    print()

    small = gmsh_ball(0.3)
    print(f"Iterations against chi, ball of {small[1].shape[0]} elements; model: log(rtol) / log(chi/(2+chi))")
    print(f"{'chi':>6}{'w':>9}{'model':>8}{'direct':>9}{'octree':>9}{'direct M error':>16}{'octree M error':>16}")
    for chi in (1.0, 10.0, 100.0):
        direct = solve(small, chi, False, 3000)
        tree = solve(small, chi, True, 3000)
        counts = [str(r[0]) if r[4] else f">{r[0]}" for r in (direct, tree)]
        print(f"{chi:>6g}{2.0 / (2.0 + chi):>9.4f}{model_iterations(chi):>8d}{counts[0]:>9}{counts[1]:>9}"
              f"{direct[2]:>16.2e}{tree[2]:>16.2e}")
